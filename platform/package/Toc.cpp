// The table of contents' XML: the elements the archive needs, checked strictly.

#include "platform/package/Xar.h"

#include <algorithm>
#include <charconv>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <map>
#include <set>

namespace package {

namespace {

struct DocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
struct ContextDeleter {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

// Deeper folders than this are refused (libxml2 itself stops at 256 levels).
constexpr int kMaximumFolderDepth = 64;

class TocParser {
public:
    explicit TocParser(std::string* error) : error_(error) {}

    std::optional<XarToc> parse(std::span<const std::uint8_t> xml) {
        std::unique_ptr<xmlParserCtxt, ContextDeleter> context(xmlNewParserCtxt());
        if (!context) {
            return fail("cannot create an XML parser");
        }
        // No network, no DTD loading, no entity substitution: a DTD is refused below.
        const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                            XML_PARSE_NOCDATA | XML_PARSE_COMPACT;
        std::unique_ptr<xmlDoc, DocumentDeleter> document(
            xmlCtxtReadMemory(context.get(), reinterpret_cast<const char*>(xml.data()),
                              static_cast<int>(xml.size()), nullptr, nullptr, options));
        if (!document) {
            return fail("the table of contents is not well-formed XML");
        }
        if (document->intSubset != nullptr || document->extSubset != nullptr) {
            return fail("the table of contents has a document type declaration");
        }
        xmlNode* root = xmlDocGetRootElement(document.get());
        if (root == nullptr || !named(root, "xar")) {
            return fail("the table of contents has no xar element");
        }
        xmlNode* toc = onlyChild(root, "toc");
        if (toc == nullptr) {
            return std::nullopt;
        }
        if (!readToc(toc)) {
            return std::nullopt;
        }
        return std::move(toc_);
    }

private:
    static bool named(const xmlNode* node, const char* name) {
        return node->type == XML_ELEMENT_NODE &&
               xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
    }

    std::nullopt_t fail(std::string text) {
        if (error_ != nullptr && error_->empty()) {
            *error_ = std::move(text);
        }
        return std::nullopt;
    }

    // Entity references never reach here: without XML_PARSE_NOENT and without a DTD an
    // undeclared entity is a parse error.
    bool hasEntityReference(const xmlNode* node) {
        for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
            if (child->type == XML_ENTITY_REF_NODE) {
                return true;
            }
        }
        return false;
    }

    // The one child element called `name`; a missing or repeated one is refused.
    xmlNode* onlyChild(xmlNode* parent, const char* name) {
        xmlNode* found = nullptr;
        for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
            if (named(child, name)) {
                if (found != nullptr) {
                    fail(std::string("repeated element ") + name);
                    return nullptr;
                }
                found = child;
            }
        }
        if (found == nullptr) {
            fail(std::string("missing element ") + name);
        }
        return found;
    }

    std::optional<std::string> text(xmlNode* node) {
        if (hasEntityReference(node)) {
            fail("entity reference in the table of contents");
            return std::nullopt;
        }
        xmlChar* content = xmlNodeGetContent(node);
        std::string value = content ? reinterpret_cast<const char*>(content) : "";
        xmlFree(content);
        return value;
    }

    std::optional<std::string> attribute(xmlNode* node, const char* name) {
        xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
        if (value == nullptr) {
            fail(std::string("missing attribute ") + name);
            return std::nullopt;
        }
        std::string result(reinterpret_cast<const char*>(value));
        xmlFree(value);
        return result;
    }

    // A decimal number without sign, blanks or leading zeros, below 2^63.
    std::optional<std::uint64_t> number(xmlNode* parent, const char* name) {
        xmlNode* node = onlyChild(parent, name);
        if (node == nullptr) {
            return std::nullopt;
        }
        auto value = text(node);
        if (!value) {
            return std::nullopt;
        }
        std::uint64_t parsed = 0;
        const char* end = value->data() + value->size();
        auto [pointer, problem] = std::from_chars(value->data(), end, parsed);
        const bool canonical = !value->empty() && (value->size() == 1 || (*value)[0] != '0');
        if (problem != std::errc() || pointer != end || !canonical ||
            parsed > static_cast<std::uint64_t>(INT64_MAX)) {
            fail(std::string("bad number in ") + name);
            return std::nullopt;
        }
        return parsed;
    }

    std::optional<HeapRange> range(xmlNode* parent) {
        auto offset = number(parent, "offset");
        auto size = offset ? number(parent, "size") : std::nullopt;
        if (!size) {
            return std::nullopt;
        }
        return HeapRange{*offset, *size};
    }

    std::optional<DigestAlgorithm> style(xmlNode* node) {
        auto name = attribute(node, "style");
        if (!name) {
            return std::nullopt;
        }
        auto algorithm = digestAlgorithmNamed(*name);
        if (!algorithm) {
            fail("checksum algorithm '" + *name + "' is not SHA-256 or SHA-512");
        }
        return algorithm;
    }

    // A checksum element holding the digest in hexadecimal.
    std::optional<std::pair<DigestAlgorithm, Bytes>> hexChecksum(xmlNode* parent,
                                                                 const char* name) {
        xmlNode* node = onlyChild(parent, name);
        if (node == nullptr) {
            return std::nullopt;
        }
        auto algorithm = style(node);
        auto value = algorithm ? text(node) : std::nullopt;
        if (!value) {
            return std::nullopt;
        }
        Bytes bytes;
        if (value->size() != 2 * digestSize(*algorithm)) {
            fail(std::string("bad digest length in ") + name);
            return std::nullopt;
        }
        for (std::size_t i = 0; i < value->size(); i += 2) {
            std::uint8_t byte = 0;
            auto [pointer, problem] =
                std::from_chars(value->data() + i, value->data() + i + 2, byte, 16);
            if (problem != std::errc() || pointer != value->data() + i + 2) {
                fail(std::string("bad digest in ") + name);
                return std::nullopt;
            }
            bytes.push_back(byte);
        }
        return std::make_pair(*algorithm, std::move(bytes));
    }

    std::optional<Bytes> base64(const std::string& text) {
        std::string compact;
        for (char c : text) {
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
                compact.push_back(c);
            }
        }
        if (compact.empty() || compact.size() % 4 != 0) {
            return std::nullopt;
        }
        Bytes out(compact.size() / 4 * 3);
        const int decoded =
            EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                            static_cast<int>(compact.size()));
        if (decoded < 0) {
            return std::nullopt;
        }
        // EVP_DecodeBlock counts the padding as decoded zero bytes.
        std::size_t padding = 0;
        for (auto it = compact.rbegin(); it != compact.rend() && *it == '=' && padding < 2; ++it) {
            ++padding;
        }
        out.resize(static_cast<std::size_t>(decoded) - padding);
        return out;
    }

    bool readSignature(xmlNode* node) {
        auto type = attribute(node, "style");
        auto where = type ? range(node) : std::nullopt;
        if (!where) {
            return false;
        }
        for (const XarSignatureEntry& other : toc_.signatures) {
            if (other.type == *type) {
                fail("a second signature of type " + *type);
                return false;
            }
        }
        if (where->size == 0 || where->size > kMaximumSignatureSize) {
            fail("signature size out of bounds");
            return false;
        }
        XarSignatureEntry entry{*type, *where, {}};
        for (xmlNode* info = node->children; info != nullptr; info = info->next) {
            if (!named(info, "KeyInfo")) {
                continue;
            }
            for (xmlNode* data = info->children; data != nullptr; data = data->next) {
                if (!named(data, "X509Data")) {
                    continue;
                }
                for (xmlNode* cert = data->children; cert != nullptr; cert = cert->next) {
                    if (!named(cert, "X509Certificate")) {
                        continue;
                    }
                    auto encoded = text(cert);
                    auto der = encoded ? base64(*encoded) : std::nullopt;
                    if (!der) {
                        fail("a stored certificate is not base64");
                        return false;
                    }
                    entry.certificates.push_back(std::move(*der));
                }
            }
        }
        toc_.signatures.push_back(std::move(entry));
        return true;
    }

    bool readData(xmlNode* data, XarFileEntry& entry) {
        auto where = range(data);
        auto length = where ? number(data, "length") : std::nullopt;
        xmlNode* encoding = length ? onlyChild(data, "encoding") : nullptr;
        auto encodingStyle = encoding ? attribute(encoding, "style") : std::nullopt;
        if (!encodingStyle) {
            return false;
        }
        if (*encodingStyle == "application/x-gzip") {
            entry.compressed = true;
        } else if (*encodingStyle != "application/octet-stream") {
            fail("unknown encoding " + *encodingStyle);
            return false;
        }
        auto archived = hexChecksum(data, "archived-checksum");
        auto extracted = archived ? hexChecksum(data, "extracted-checksum") : std::nullopt;
        if (!extracted) {
            return false;
        }
        if (!entry.compressed && *length != where->size) {
            fail("stored file of another length than its data");
            return false;
        }
        entry.range = *where;
        entry.length = *length;
        std::tie(entry.archivedAlgorithm, entry.archivedChecksum) = std::move(*archived);
        std::tie(entry.extractedAlgorithm, entry.extractedChecksum) = std::move(*extracted);
        return true;
    }

    bool readFiles(xmlNode* parent, const std::string& prefix, int depth) {
        if (depth > kMaximumFolderDepth) {
            fail("folders nested too deeply");
            return false;
        }
        std::set<std::string> names;
        for (xmlNode* node = parent->children; node != nullptr; node = node->next) {
            if (!named(node, "file")) {
                continue;
            }
            xmlNode* nameNode = onlyChild(node, "name");
            auto name = nameNode ? text(nameNode) : std::nullopt;
            xmlNode* typeNode = name ? onlyChild(node, "type") : nullptr;
            auto type = typeNode ? text(typeNode) : std::nullopt;
            if (!type) {
                return false;
            }
            if (name->empty() || *name == "." || *name == ".." ||
                name->find('/') != std::string::npos) {
                fail("bad file name '" + *name + "'");
                return false;
            }
            if (!names.insert(*name).second) {
                fail("duplicate file name '" + prefix + *name + "'");
                return false;
            }
            XarFileEntry entry;
            entry.path = prefix + *name;
            bool hasData = false;
            for (xmlNode* child = node->children; child != nullptr; child = child->next) {
                hasData = hasData || named(child, "data");
            }
            if (*type == "directory") {
                if (hasData) {
                    fail("a folder with data");
                    return false;
                }
                entry.directory = true;
                toc_.files.push_back(entry);
                if (!readFiles(node, entry.path + "/", depth + 1)) {
                    return false;
                }
                continue;
            }
            if (*type != "file") {
                fail("file type '" + *type + "' is not supported");
                return false;
            }
            xmlNode* data = onlyChild(node, "data");
            if (data == nullptr || !readData(data, entry)) {
                return false;
            }
            for (xmlNode* child = node->children; child != nullptr; child = child->next) {
                if (named(child, "file")) {
                    fail("a file with files inside");
                    return false;
                }
            }
            toc_.files.push_back(std::move(entry));
        }
        return true;
    }

    bool readToc(xmlNode* toc) {
        xmlNode* checksum = onlyChild(toc, "checksum");
        auto algorithm = checksum ? style(checksum) : std::nullopt;
        auto where = algorithm ? range(checksum) : std::nullopt;
        if (!where) {
            return false;
        }
        if (where->size != digestSize(*algorithm)) {
            fail("the checksum's size is not its digest's");
            return false;
        }
        toc_.checksumAlgorithm = *algorithm;
        toc_.checksum = *where;
        for (xmlNode* node = toc->children; node != nullptr; node = node->next) {
            if ((named(node, "signature") || named(node, "x-signature")) && !readSignature(node)) {
                return false;
            }
        }
        return readFiles(toc, "", 0);
    }

    std::string* error_;
    XarToc toc_;
};

} // namespace

std::optional<XarToc> parseToc(std::span<const std::uint8_t> xml, std::string* error) {
    if (xml.size() > kMaximumTocSize) {
        if (error != nullptr) {
            *error = "the table of contents is too large";
        }
        return std::nullopt;
    }
    std::string ignored;
    return TocParser(error != nullptr ? error : &ignored).parse(xml);
}

} // namespace package
