#include "tools/qordat/manifest.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "archive/container.h"
#include "archive/entry.h"
#include "archive/state.h"
#include "tools/qordat/common.h"
#include "tools/qordat/digest.h"

namespace qordat {
namespace {

constexpr size_t kSlotFields = 11;
constexpr const char kDash[] = "-";

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) at++;
        if (at == line.size()) break;
        const size_t end = line.find_first_of(" \t", at);
        fields.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? line.size() : end;
    }
    return fields;
}

bool Unsigned(const std::string& text, uint64_t high, uint64_t& value)
{
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (high - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// The parser's state: the line at hand and the first problem met.
struct Reader {
    std::string path;
    size_t line = 0;
    std::string problem;

    bool Fail(const std::string& what)
    {
        if (problem.empty()) problem = path + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    bool Number(const std::string& field, const char* what, uint64_t high, uint64_t& value)
    {
        if (Unsigned(field, high, value)) return true;
        return Fail(std::string(what) + " '" + field + "' is not a number from 0 to " + std::to_string(high));
    }
    bool Hash(const std::string& field, const char* what, uint64_t& value)
    {
        if (Digest::Parse(field, value)) return true;
        return Fail(std::string(what) + " '" + field + "' is not a digest (xxh64: and 16 hex digits)");
    }
    // A "-" or a number.
    bool Optional(const std::string& field, const char* what, uint64_t high, std::optional<uint64_t>& value)
    {
        value.reset();
        if (field == kDash) return true;
        uint64_t n = 0;
        if (!Number(field, what, high, n)) return false;
        value = n;
        return true;
    }
    // prefix|suffix SIZE DIGEST AT
    bool Outside(const std::vector<std::string>& f, Kept& kept)
    {
        if (f.size() != 4)
            return Fail(f[0] + " takes three fields (size, digest, where in " + kStoredName + "), not " +
                        std::to_string(f.size() - 1));
        if (!Number(f[1], "the size", static_cast<uint64_t>(kMaxOffset), kept.size)) return false;
        if (kept.size == 0) return f[2] == kDash && f[3] == kDash ? true : Fail("an empty " + f[0] + " takes - -");
        return Hash(f[2], "the digest", kept.digest) &&
               Number(f[3], "the place", static_cast<uint64_t>(kMaxOffset), kept.at);
    }

    bool Slot(const std::vector<std::string>& f, const Manifest& m, ManifestSlot& slot)
    {
        if (f.size() != kSlotFields)
            return Fail("a slot line has " + std::to_string(kSlotFields) +
                        " fields (slot head kind declared storage size content stored stored-digest kept file), "
                        "this one " + std::to_string(f.size()));
        slot.line = line;
        uint64_t number = 0;
        // An archive holds at most MAX_ENTRY_COUNT slots: 0 to one less.
        if (!Number(f[0], "the slot number", MAX_ENTRY_COUNT - 1, number)) return false;
        if (number != m.slots.size())
            return Fail("slot " + f[0] + " out of order: slot " + std::to_string(m.slots.size()) +
                        " comes here (slots are numbered from 0, one line each, in order)");
        if (f[1] == "empty") {
            slot.empty = true;
            return true;
        }
        EntryLayout head = LAYOUT_RAW;
        if (!ParseLayout(f[1].c_str(), head))
            return Fail("unknown head '" + f[1] + "' (raw, kind-size, kind-only or empty)");
        if (head != m.layout)
            return Fail(std::string("head ") + f[1] + " in an archive of the " + LayoutName(m.layout) +
                        " layout (every slot has the layout's head, or is empty)");
        if (m.layout == LAYOUT_RAW) {
            if (f[2] != kDash || f[3] != kDash) return Fail("the raw layout has no kind or declared size: - -");
        } else {
            uint64_t kind = 0;
            if (!Number(f[2], "the kind", 0xFFFF, kind)) return false;
            slot.kind = static_cast<int16_t>(static_cast<uint16_t>(kind));
            std::optional<uint64_t> declared;
            if (!Optional(f[3], "the declared size", UINT32_MAX, declared)) return false;
            if (declared && m.layout != LAYOUT_KIND_SIZE)
                return Fail("the kind-only layout has no declared size: -");
            if (declared) slot.declared = static_cast<int32_t>(static_cast<uint32_t>(*declared));
        }
        if (f[4] != "plain" && f[4] != "compressed")
            return Fail("storage '" + f[4] + "' is neither plain nor compressed");
        slot.compressed = f[4] == "compressed";
        // The archive code's one payload rule; whether a payload is a stream
        // does not depend on the slot's size.
        if (slot.compressed != SlotPayloadOf(m.layout, slot.kind, UINT32_MAX).compressed)
            return Fail(std::string(m.layout == LAYOUT_RAW ? "the raw layout stores every slot plain"
                                                           : "under " + std::string(LayoutName(m.layout)) +
                                                                 " kind " + f[2] + " is " +
                                                                 (slot.compressed ? "plain" : "compressed")) +
                        ", not " + f[4]);
        if (!Optional(f[5], "the content's size", UINT32_MAX, slot.contentSize)) return false;
        if (slot.contentSize && !Hash(f[6], "the content's digest", slot.contentDigest)) return false;
        if (!slot.contentSize && f[6] != kDash) return Fail("a content digest without a size");
        if (!Optional(f[7], "the stored size", INT32_MAX, slot.storedSize)) return false;
        if (slot.storedSize && !Hash(f[8], "the stored bytes' digest", slot.storedDigest)) return false;
        if (!slot.storedSize && f[8] != kDash) return Fail("a stored digest without a size");
        if (!Optional(f[9], "the place kept", static_cast<uint64_t>(kMaxOffset), slot.keptAt)) return false;
        if (slot.keptAt && !slot.storedSize) return Fail("kept stored bytes without their size and digest");
        if (f[10] != kDash && !UnescapeName(f[10], slot.file))
            return Fail("'" + f[10] + "' is not a file name (no '/', bytes escaped as %XX)");
        if (slot.file.empty() && !slot.keptAt) return Fail("no file and no kept stored bytes: nothing to write");
        return true;
    }
};

int HexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string KeptText(const char* what, const Kept& kept)
{
    if (!kept.size) return std::string(what) + " 0 - -\n";
    return std::string(what) + " " + std::to_string(kept.size) + " " + Digest::Format(kept.digest) + " " +
           std::to_string(kept.at) + "\n";
}

}  // namespace

std::string EscapeName(const std::string& name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c <= 0x20 || c == '%' || c == 0x7F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool UnescapeName(const std::string& field, std::string& name)
{
    name.clear();
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] != '%') {
            name += field[i];
            continue;
        }
        const int high = i + 2 < field.size() ? HexDigit(field[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(field[i + 2]) : -1;
        if (low < 0) return false;
        name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos
#if defined(_WIN32)
           && name.find_first_of("\\:") == std::string::npos
#endif
        ;
}

std::string ReadManifest(const std::string& path, Manifest& manifest)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + path + ": " + SystemError();
    Reader r{path, 0, ""};
    manifest = Manifest();
    bool sawVersion = false, sawLayout = false, sawListing = false, sawPrefix = false, sawSuffix = false;
    std::string text;
    while (std::getline(in, text)) {
        r.line++;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const std::vector<std::string> f = Fields(text);
        if (f.empty() || f[0][0] == '#') continue;
        if (!sawVersion) {
            if (f.size() != 2 || f[0] != "qordat-manifest") {
                r.Fail("not a qordat manifest (its first line is 'qordat-manifest 1')");
                break;
            }
            if (f[1] != "1") {
                r.Fail("manifest version " + f[1] + ": this qordat reads version 1");
                break;
            }
            sawVersion = true;
            continue;
        }
        const bool isSlot = f[0][0] >= '0' && f[0][0] <= '9';
        if (isSlot) {
            if (!sawLayout) {
                r.Fail("a slot before the layout line");
                break;
            }
            ManifestSlot slot;
            if (!r.Slot(f, manifest, slot)) break;
            manifest.slots.push_back(slot);
            continue;
        }
        if (!manifest.slots.empty()) {
            r.Fail("'" + f[0] + "' after the slots (the slots' lines come last)");
            break;
        }
        if (f[0] == "archive") {
            if (f.size() != 2 || !UnescapeName(f[1], manifest.archive)) {
                r.Fail("archive takes one file name");
                break;
            }
        } else if (f[0] == "layout") {
            if (f.size() != 2 || !ParseLayout(f[1].c_str(), manifest.layout)) {
                r.Fail("layout takes raw, kind-size or kind-only");
                break;
            }
            sawLayout = true;
        } else if (f[0] == "listing") {
            if (f.size() != 2 || (f[1] != "default" && f[1] != "full-scan" && f[1] != "none")) {
                r.Fail("listing takes default, full-scan or none");
                break;
            }
            manifest.listing = f[1] == "default" ? Listing::Default : f[1] == "full-scan" ? Listing::FullScan : Listing::None;
            sawListing = true;
        } else if (f[0] == "prefix" || f[0] == "suffix") {
            if (!r.Outside(f, f[0] == "prefix" ? manifest.prefix : manifest.suffix)) break;
            (f[0] == "prefix" ? sawPrefix : sawSuffix) = true;
        } else {
            r.Fail("unknown line '" + f[0] + "' (archive, layout, listing, prefix, suffix, or a slot)");
            break;
        }
    }
    if (!r.problem.empty()) return r.problem;
    if (in.bad()) return "cannot read " + path + ": " + SystemError();
    if (!sawVersion) return path + ": empty: not a qordat manifest";
    r.line++;
    if (!sawLayout || !sawListing || !sawPrefix || !sawSuffix)
        return path + ": the " + (!sawLayout ? "layout" : !sawListing ? "listing" : !sawPrefix ? "prefix" : "suffix") +
               " line is missing";
    if (manifest.slots.empty()) return path + ": no slots (an archive holds at least one)";
    return "";
}

std::string FormatManifest(const Manifest& m)
{
    std::string out =
        "# What 'qordat repack' rebuilds the archive from, slot by slot. A slot whose file\n"
        "# and head are unchanged is copied as it was stored; a changed file is stored as\n"
        "# its slot was (compressed if it was, with its kind). Add a line for a new slot\n"
        "# (size, content, stored, stored-digest and kept '-'), or write 'empty' as a\n"
        "# slot's head. 'man qordat' (MANIFEST) tells every field.\n"
        "qordat-manifest 1\n";
    out += "archive " + EscapeName(m.archive) + "\n";
    out += std::string("layout ") + LayoutName(m.layout) + "\n";
    out += std::string("listing ") +
           (m.listing == Listing::Default ? "default" : m.listing == Listing::FullScan ? "full-scan" : "none") + "\n";
    out += KeptText("prefix", m.prefix) + KeptText("suffix", m.suffix);
    out += "# slot head kind declared storage size content stored stored-digest kept file\n";
    char line[512];
    for (size_t i = 0; i < m.slots.size(); i++) {
        const ManifestSlot& s = m.slots[i];
        const std::string file = s.file.empty() ? kDash : EscapeName(s.file);
        if (s.empty) {
            out += std::to_string(i) + " empty - - - - - - - - " + file + "\n";
            continue;
        }
        auto number = [](const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : std::string(kDash); };
        const bool raw = m.layout == LAYOUT_RAW;
        std::snprintf(line, sizeof line, "%zu %s %s %s %s %s %s %s %s %s ", i, LayoutName(m.layout),
                      raw ? kDash : std::to_string(static_cast<uint16_t>(s.kind)).c_str(),
                      s.declared ? std::to_string(static_cast<uint32_t>(*s.declared)).c_str() : kDash,
                      s.compressed ? "compressed" : "plain", number(s.contentSize).c_str(),
                      s.contentSize ? Digest::Format(s.contentDigest).c_str() : kDash, number(s.storedSize).c_str(),
                      s.storedSize ? Digest::Format(s.storedDigest).c_str() : kDash, number(s.keptAt).c_str());
        out += line + file + "\n";
    }
    return out;
}

}  // namespace qordat
