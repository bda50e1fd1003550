#pragma once

// What every form of the web pages shares: the posted fields, an error tied to the field it is
// about (announced, and given the focus, so that a keyboard user lands where the fault is), the
// hidden form token, and the answer to a form that came without it.

#include "server/web/Pages.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace server {

// A posted form's fields by name.
using FormFields = std::map<std::string, std::string, std::less<>>;

struct FormError {
    std::string_view field; // the field it is about; empty: the form as a whole
    std::string text;
};

// The field's value; empty when the form has none.
std::string Field(const FormFields& form, std::string_view name);
// The error's paragraph (role "alert", id "form-error"); empty without an error.
std::string ErrorBox(const FormError* error);
// The aria attributes of field `name`: its hint, and the error when the error is about it (then it
// also takes the focus). `focusWhenFine`: the field takes the focus when no field has an error.
std::string FieldState(std::string_view name, const FormError* error, std::string_view hint, bool focusWhenFine);
// The start of a form posted to `path`, with the form token and the step it is.
std::string FormStart(std::string_view path, const std::string& formToken, std::string_view step);
// The answer to a form posted without a valid form token (403), on the page `title` at `path`.
Page RefusedForm(std::string_view title, std::string_view path);

} // namespace server
