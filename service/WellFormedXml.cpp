#include "service/WellFormedXml.h"

#include <climits>
#include <initializer_list>
#include <memory>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

namespace {

// The parser is told not to load external entities or DTDs; this loader makes sure nothing would
// be loaded even if it asked.
xmlParserInputPtr refuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void ignoreMessage(void* /*context*/, const char* /*format*/, ...) {}

void initialiseLibxml2() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(&refuseExternalEntity);
        // XML_PARSE_NOERROR does not reach the encoding converters, which report on stderr through
        // the generic handler; the program writes nothing of its own there.
        xmlSetGenericErrorFunc(nullptr, &ignoreMessage);
    });
}

struct ParserContextDeleter {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

struct DocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};

using Document = std::unique_ptr<xmlDoc, DocumentDeleter>;

// Checks `text` without building its content; the document returned holds only the DTD, if any.
Document checkOnly(std::string_view text) {
    const std::unique_ptr<xmlParserCtxt, ParserContextDeleter> context(xmlNewParserCtxt());
    if (!context) {
        return nullptr;
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
    Document skeleton(
        xmlCtxtReadMemory(context.get(), text.data(), static_cast<int>(text.size()), nullptr, nullptr, options));
    return context->wellFormed != 0 ? std::move(skeleton) : nullptr;
}

// Whether pugixml decodes the encoding an answer declares (none declared: UTF-8 or UTF-16).
bool pugixmlReadsEncoding(const xmlChar* declared) {
    if (declared == nullptr) {
        return true;
    }
    for (const char* known : {"UTF-8", "UTF-16", "UTF-16LE", "UTF-16BE", "ISO-8859-1", "latin1"}) {
        if (xmlStrcasecmp(declared, reinterpret_cast<const xmlChar*>(known)) == 0) {
            return true;
        }
    }
    return false;
}

// The whole document with the entities of its DTD expanded, written out as UTF-8.
std::optional<std::string> rewrittenInUtf8(std::string_view text) {
    const std::unique_ptr<xmlParserCtxt, ParserContextDeleter> context(xmlNewParserCtxt());
    if (!context) {
        return std::nullopt;
    }
    // XML_PARSE_NOENT would also fetch external entities; refuseExternalEntity answers for them.
    const int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    const Document document(
        xmlCtxtReadMemory(context.get(), text.data(), static_cast<int>(text.size()), nullptr, nullptr, options));
    if (!document || context->wellFormed == 0) {
        return std::nullopt;
    }
    xmlChar* written = nullptr;
    int length = 0;
    xmlDocDumpMemoryEnc(document.get(), &written, &length, "UTF-8");
    if (written == nullptr) {
        return std::nullopt;
    }
    std::string result(reinterpret_cast<const char*>(written), static_cast<std::size_t>(length));
    xmlFree(written);
    return result;
}

} // namespace

StrictXml ReadXmlStrictly(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    initialiseLibxml2();
    const Document skeleton = checkOnly(text);
    if (!skeleton) {
        return {};
    }
    StrictXml result;
    result.wellFormed = true;
    const bool declaresEntities = skeleton->intSubset != nullptr && skeleton->intSubset->entities != nullptr;
    if (declaresEntities || !pugixmlReadsEncoding(skeleton->encoding)) {
        result.rewritten = rewrittenInUtf8(text);
        result.wellFormed = result.rewritten.has_value();
    }
    return result;
}

bool IsWellFormedXml(std::string_view text) { return ReadXmlStrictly(text).wellFormed; }
