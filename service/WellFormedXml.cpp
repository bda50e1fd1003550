#include "service/WellFormedXml.h"

#include <climits>
#include <memory>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

namespace {

// The parser is told not to load external entities or DTDs; this loader makes sure nothing would
// be loaded even if it asked.
xmlParserInputPtr refuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void initialiseLibxml2() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(&refuseExternalEntity);
    });
}

struct ParserContextDeleter {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

struct DocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};

} // namespace

bool IsWellFormedXml(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    initialiseLibxml2();
    const std::unique_ptr<xmlParserCtxt, ParserContextDeleter> context(xmlNewParserCtxt());
    if (!context) {
        return false;
    }
    // Keep the handlers that record the DTD's entity declarations, which references are checked
    // against; drop those that would build the content, which is all a check can skip.
    xmlSAXHandler& handlers = *context->sax;
    handlers.startElementNs = nullptr;
    handlers.endElementNs = nullptr;
    handlers.startElement = nullptr;
    handlers.endElement = nullptr;
    handlers.characters = nullptr;
    handlers.cdataBlock = nullptr;
    handlers.ignorableWhitespace = nullptr;
    handlers.comment = nullptr;
    handlers.processingInstruction = nullptr;
    handlers.reference = nullptr;

    // No XML_PARSE_HUGE (it would lift the depth and expansion limits), no XML_PARSE_NOENT or
    // XML_PARSE_DTDLOAD (they would load external entities and DTDs).
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    const std::unique_ptr<xmlDoc, DocumentDeleter> skeleton(
        xmlCtxtReadMemory(context.get(), text.data(), static_cast<int>(text.size()), nullptr, nullptr, options));
    return context->wellFormed != 0 && skeleton != nullptr;
}
