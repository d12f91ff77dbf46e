#include "report.h"

#include <cstdint>
#include <cstdio>

#include "console.h"

namespace cli {
namespace {

// The methods of the ZIP format by number; others are shown as "method N".
std::string MethodName(unsigned method) {
    switch (method) {
        case 0: return "stored";
        case 1: return "shrunk";
        case 2: case 3: case 4: case 5: return "reduced" + std::to_string(method - 1);
        case 6: return "imploded";
        case 8: return "deflated";
        case 9: return "deflate64";
        case 12: return "bzip2";
        case 14: return "lzma";
        case 93: return "zstd";
        case 95: return "xz";
        case 99: return "aes";
        default: return "method " + std::to_string(method);
    }
}

// The verdict's stable name (JSON) and its words in the listing.
const char* VerdictName(int verdict) {
    static const char* const names[] = {"kept", "recompressed", "partial", "lost", "unverified"};
    return verdict >= 0 && verdict <= ARCSALVE_ENTRY_UNVERIFIED ? names[verdict] : "unknown";
}

std::string VerdictWords(const EntryLine& e) {
    switch (e.verdict) {
        case ARCSALVE_ENTRY_KEPT: return "intact, kept";
        case ARCSALVE_ENTRY_RECOMPRESSED: return "intact, re-compressed";
        case ARCSALVE_ENTRY_PARTIAL: return "partial, " + std::to_string(e.saved) + " bytes";
        case ARCSALVE_ENTRY_LOST: return "lost";
        default: return "not verified";
    }
}

std::string Field(const char* name, unsigned long long value) {
    return std::string("\"") + name + "\": " + std::to_string(value);
}

std::string Field(const char* name, const std::string& text) {
    return std::string("\"") + name + "\": " + JsonString(text);
}

std::string Flag(const char* name, bool value) {
    return std::string("\"") + name + "\": " + (value ? "true" : "false");
}

// The map of an entry recovered past damage: its first ranges, and how many
// there are in all.
std::string JsonResync(const EntryLine& e) {
    if (e.pieces == 0) return "";
    static const char* const kinds[] = {"known", "unknown", "lost"};
    std::string out = ", \"resync\": {" + Field("pieces", e.pieces) + ", " + Field("unknown", e.unknown) + ", " +
                      Field("range_count", e.rangeCount) + ", \"ranges\": [";
    for (size_t i = 0; i < e.ranges.size(); ++i) {
        const arcsalve_range& r = e.ranges[i];
        out += (i == 0 ? "{" : ", {") + Field("kind", std::string(kinds[r.kind >= 0 && r.kind <= 2 ? r.kind : 2])) +
               ", " + Field("offset", r.offset) + ", " + Field("length", r.length) + "}";
    }
    return out + "]}";
}

std::string JsonEntry(const EntryLine& e) {
    return "{" + Field("name", e.name) + ", " + Flag("name_utf8", e.nameUtf8) + ", " + Field("method", e.method) +
           ", " + Field("method_name", MethodName(e.method)) + ", " + Flag("encrypted", e.encrypted) + ", " +
           Field("offset", e.offset) + ", " + Field("compressed_size", e.compressed) + ", " +
           Field("uncompressed_size", e.uncompressed) + ", " + Field("verdict", std::string(VerdictName(e.verdict))) +
           ", " + Field("saved_size", e.saved) + ", " +
           Field("found_by", std::string(e.throughDirectory ? "central_directory" : "local_header")) + JsonResync(e) +
           "}";
}

std::string JsonArchive(const ArchiveReport& a) {
    const arcsalve_result& r = a.result;
    std::string out = "{" + Field("input", a.input) + ", " + Field("source", std::string(r.source)) + ", ";
    out += std::string("\"output\": ") + (r.output[0] != '\0' ? JsonString(r.output) : "null") + ", ";
    out += Flag("test", a.test) + ", " + Field("status", static_cast<unsigned long long>(a.status)) + ", ";
    out += Field("entries_found", r.entries_found) + ", " + Field("entries_intact", r.entries_intact) + ", " +
           Field("entries_partial", r.entries_partial) + ", " + Field("entries_lost", r.entries_lost) + ", " +
           Field("entries_unverified", r.entries_unverified) + ", " + Field("bytes_saved", r.bytes_saved) + ",\n";
    out += "     \"entries\": [";
    for (size_t i = 0; i < a.entries.size(); ++i) out += (i == 0 ? "\n      " : ",\n      ") + JsonEntry(a.entries[i]);
    return out + "]}";
}

}  // namespace

void CollectEntry(void* user, const arcsalve_entry* entry) {
    EntryLine e;
    e.name.assign(entry->name, entry->name_length);
    e.nameUtf8 = entry->name_utf8 != 0;
    e.method = entry->method;
    e.encrypted = entry->encrypted != 0;
    e.offset = entry->offset;
    e.compressed = entry->compressed_size;
    e.uncompressed = entry->uncompressed_size;
    e.verdict = entry->verdict;
    e.saved = entry->saved_size;
    e.throughDirectory = entry->found_by == ARCSALVE_FOUND_BY_CENTRAL_DIRECTORY;
    if (entry->pieces > 0) {
        e.pieces = entry->pieces;
        e.unknown = entry->unknown_bytes;
        e.rangeCount = entry->range_count;
        e.ranges.assign(entry->ranges, entry->ranges + entry->ranges_listed);
    }
    static_cast<ArchiveReport*>(user)->entries.push_back(e);
}

void PrintListing(const ArchiveReport& report) {
    EndProgress();
    std::printf("%-10s %12s %12s %12s  %-22s %s\n", "Method", "Compressed", "Size", "Offset", "Verdict", "Name");
    for (const EntryLine& e : report.entries)
        std::printf("%-10s %12llu %12llu %12llu  %-22s %s\n", MethodName(e.method).c_str(), e.compressed,
                    e.uncompressed, e.offset, VerdictWords(e).c_str(), Printable(e.name.c_str()).c_str());
    std::fflush(stdout);
}

std::string JsonReport(const std::vector<ArchiveReport>& archives, int status) {
    std::string out = "{\"status\": " + std::to_string(status) + ",\n \"archives\": [";
    for (size_t i = 0; i < archives.size(); ++i) out += (i == 0 ? "\n    " : ",\n    ") + JsonArchive(archives[i]);
    return out + "]}\n";
}

std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t left = bytes.size();
    char escape[8];
    while (left > 0) {
        uint32_t cp;
        size_t n = DecodeUtf8(p, left, &cp);
        if (n == 0) {
            std::snprintf(escape, sizeof escape, "\\udc%02x", p[0]);
            out += escape;
            n = 1;
        } else if (p[0] == '"' || p[0] == '\\') {
            out += '\\';
            out += static_cast<char>(p[0]);
        } else if (p[0] < 0x20 || p[0] == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", p[0]);
            out += escape;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
        left -= n;
    }
    return out + "\"";
}

}  // namespace cli
