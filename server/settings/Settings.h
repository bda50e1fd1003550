#pragma once

#include "server/app/Server.h"
#include "server/delivery/MailSender.h"
#include "server/delivery/SmsGateway.h"

#include <string>

namespace server {

// Everything the command line and the settings file set: the service's options, and the values the
// start-up turns into them (the relay's credentials and the gateway table are files it reads) or
// applies before the service starts.
struct Settings {
    ServerOptions server;
    unsigned concurrentHashes = 0; // 0: the number of cores
    // Delivery, put together by the start-up once every option is read.
    SmtpSettings smtp;
    std::string smtpCredentials; // the file with "user:password"; empty: no login
    std::string codeKeyFile;     // the file with the account codes' secret; empty: a random key
    std::string gateways;        // the gateway table's file; empty: the built-in table
    SmsGatewaySettings sms;      // url empty: no SMS gateway
    std::string smsCredentials;  // the file with "username:password" for sendsms
};

} // namespace server
