#include "gtest_xml.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string Unescape(const std::string& text)
{
    static const struct {
        const char* entity;
        char ch;
    } entities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            bool fKnown = false;
            for (const auto& e : entities) {
                const size_t cch = strlen(e.entity);
                if (!text.compare(i, cch, e.entity)) {
                    out += e.ch;
                    i += cch;
                    fKnown = true;
                    break;
                }
            }
            if (!fKnown && !text.compare(i, 2, "&#")) {
                const size_t end = text.find(';', i);
                if (end != std::string::npos) {
                    const bool fHex = text[i + 2] == 'x';
                    out += static_cast<char>(
                        strtoul(text.c_str() + i + (fHex ? 3 : 2), nullptr, fHex ? 16 : 10));
                    i = end + 1;
                    fKnown = true;
                }
            }
            if (fKnown) continue;
        }
        out += text[i++];
    }
    return out;
}

// The value of attribute NAME inside the start tag TAG, or empty.
std::string Attribute(const std::string& tag, const char* name)
{
    const std::string key = std::string(" ") + name + "=\"";
    const size_t start = tag.find(key);
    if (start == std::string::npos) return {};
    const size_t begin = start + key.size();
    return Unescape(tag.substr(begin, tag.find('"', begin) - begin));
}

} // namespace

size_t GtestReport::Count(bool fFailed, bool fSkipped) const
{
    size_t count = 0;
    for (const GtestCase& c : cases)
        if (!c.failures.empty() == fFailed && c.fSkipped == fSkipped) ++count;
    return count;
}

GtestReport ReadGtestXml(const std::wstring& path)
{
    GtestReport report;
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return report;
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string xml = buffer.str();

    const std::string end = "</testsuites>";
    const size_t last = xml.find_last_not_of(" \t\r\n");
    report.fComplete = !xml.compare(0, 5, "<?xml") && last != std::string::npos && last + 1 >= end.size() &&
                       !xml.compare(last + 1 - end.size(), end.size(), end);

    for (size_t at = xml.find("<testcase "); at != std::string::npos; at = xml.find("<testcase ", at + 1)) {
        const size_t tagEnd = xml.find('>', at);
        if (tagEnd == std::string::npos) break;
        const std::string tag = xml.substr(at, tagEnd - at);
        GtestCase c;
        c.suite = Attribute(tag, "classname");
        c.name = Attribute(tag, "name");
        c.time = Attribute(tag, "time");
        if (Attribute(tag, "status") == "notrun") continue; // a disabled test
        c.fSkipped = Attribute(tag, "result") == "skipped";
        if (xml[tagEnd - 1] != '/') {
            const size_t caseEnd = xml.find("</testcase>", tagEnd);
            const std::string body =
                xml.substr(tagEnd, caseEnd == std::string::npos ? std::string::npos : caseEnd - tagEnd);
            for (size_t f = body.find("<failure "); f != std::string::npos; f = body.find("<failure ", f + 1))
                c.failures.push_back(Attribute(body.substr(f, body.find('>', f) - f), "message"));
            const size_t s = body.find("<skipped ");
            if (s != std::string::npos) {
                c.fSkipped = true;
                c.skipMessage = Attribute(body.substr(s, body.find('>', s) - s), "message");
            }
        }
        report.cases.push_back(std::move(c));
    }
    return report;
}

std::string XmlEscape(const std::string& text)
{
    std::string out;
    for (unsigned char ch : text) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\t':
            out += "&#9;";
            break;
        case '\r':
            break;
        default:
            // Control characters are not allowed in XML 1.0 at all, and a
            // program's output is not always valid UTF-8.
            if (ch >= 0x80)
                out += '?';
            else if (ch >= 0x20)
                out += static_cast<char>(ch);
            break;
        }
    }
    return out;
}
