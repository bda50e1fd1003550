#pragma once

#include <string>

enum class LoginOutcome { Accepted, AcceptedWithoutId, Refused, Unrecognised };

struct LoginResult {
    LoginOutcome outcome;
    std::string message; // the service's refusal text; empty for every other outcome
};

// Asks the service whether `login` and `password` (already trimmed) are valid. Both go out
// unescaped, as the service has always received them. On a "TRUE" answer the returned id is
// stored in global::CurrentUserId before it is looked at, so an empty id empties it. A non-200
// status is a refusal carrying the status; a transport failure is a TransportError, an answer
// without the nodes it needs a MissingNodeError.
LoginResult LoginExchange(const std::string& login, const std::string& password);
