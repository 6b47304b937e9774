/* Fuzz target: quelmo.admin's text file parser. The input's first byte picks the format
 * (even: extensions, odd: forwarding rules), the rest is the file. A refused file names
 * its line; an accepted one has records without line breaks or NUL bytes. */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "admin-text.h"
#include "fuzz_support.h"

namespace {

bool clean_text(const std::string &text) {
    return text.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::string content(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string error;
    bool accepted;
    if (data[0] % 2 == 0) {
        std::vector<ExtensionLine> records;
        accepted = ParseExtensionsText("e.txt", content, &records, &error);
        for (const ExtensionLine &record : records)
            if (accepted && (!clean_text(record.name) || !clean_text(record.number)))
                quelmo_fuzz::fail("an accepted caller ID holds a line break or NUL");
    } else {
        std::vector<RuleLine> rules;
        accepted = ParseForwardingText("f.txt", content, &rules, &error);
        for (const RuleLine &rule : rules)
            if (accepted && (!clean_text(rule.app) || !clean_text(rule.args)))
                quelmo_fuzz::fail("an accepted rule holds a line break or NUL");
    }
    if (!accepted && error.compare(0, 6, "e.txt:") != 0 && error.compare(0, 6, "f.txt:") != 0)
        quelmo_fuzz::fail("a refusal that names no line");
    return 0;
}
