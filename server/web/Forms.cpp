#include "server/web/Forms.h"

#include "server/web/Csrf.h"

namespace server {

std::string Field(const FormFields& form, std::string_view name) {
    const auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

std::string ErrorBox(const FormError* error) {
    if (error == nullptr) {
        return {};
    }
    return "<p id=\"form-error\" class=\"message\" role=\"alert\">" + HtmlEscape(error->text) + "</p>\n";
}

std::string FieldState(std::string_view name, const FormError* error, std::string_view hint, bool focusWhenFine) {
    std::string describedBy(hint);
    std::string extra;
    if (error != nullptr && error->field == name) {
        describedBy += describedBy.empty() ? "form-error" : " form-error";
        extra = " aria-invalid=\"true\" autofocus";
    } else if (focusWhenFine && (error == nullptr || error->field.empty())) {
        extra = " autofocus";
    }
    std::string attributes = extra;
    if (!describedBy.empty()) {
        attributes += " aria-describedby=\"" + describedBy + "\"";
    }
    return attributes;
}

std::string FormStart(std::string_view path, const std::string& formToken, std::string_view step) {
    std::string html = "<form method=\"post\" action=\"" + HtmlEscape(path) + "\">\n";
    html += "<input type=\"hidden\" name=\"" + std::string(kCsrfFieldName) + "\" value=\"" + HtmlEscape(formToken) +
            "\">\n";
    html += "<input type=\"hidden\" name=\"step\" value=\"" + std::string(step) + "\">\n";
    return html;
}

Page RefusedForm(std::string_view title, std::string_view path) {
    return {403, Html(title, "<p class=\"message\" role=\"alert\">The form was refused because it did not carry this "
                             "page's security token. It may have come from another site, or the page was open too "
                             "long.</p>\n<p><a href=\"" +
                                 HtmlEscape(path) + "\">Open the page again</a> and fill it in anew.</p>")};
}

} // namespace server
