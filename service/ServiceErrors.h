#pragma once

#include <stdexcept>
#include <string>

// The two ways an exchange fails. Their what() is the text the user is shown; a non-200 status is
// neither, it becomes the exchange's failure document.

// The HTTP layer could not deliver the request or read the whole answer.
class TransportError : public std::runtime_error {
public:
    TransportError(int code, const std::string& message) : std::runtime_error(message), m_code(code) {}
    int code() const noexcept { return m_code; }

private:
    int m_code;
};

// The answer lacks an element whose text the exchange has to read.
class MissingNodeError : public std::runtime_error {
public:
    explicit MissingNodeError(const std::string& query)
        : std::runtime_error("The service's answer has no element for " + query + "."), m_query(query) {}
    const std::string& query() const noexcept { return m_query; }

private:
    std::string m_query;
};
