/* admin-text: the extensions and forwarding text formats. A refused line ends the parse
 * with one message naming the file and the line; the whole text is checked before a
 * caller writes anything. */
#include "admin-text.h"

#include <cstddef>
#include <map>
#include <new>

namespace {

/* A refused line; caught at the module's edge and handed on as the message. */
struct LineError {
    std::string text;
};

[[noreturn]] void fail_line(const std::string &file, size_t line, const std::string &reason) {
    throw LineError{file + ":" + std::to_string(line) + ": " + reason};
}

/* A line that carries a record, with its line number in its file. */
struct RecordLine {
    size_t number;
    std::string text;
};

/* The lines of the content that are neither blank (empty, or blanks and tabs only) nor
 * comments ('#' first). */
std::vector<RecordLine> record_lines(const std::string &content) {
    std::vector<RecordLine> lines;
    size_t start = 0, number = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        number++;
        std::string text = content.substr(start, end - start);
        bool blank = text.find_first_not_of(" \t") == std::string::npos;
        if (!blank && text[0] != '#') lines.push_back({number, text});
        start = end + 1;
    }
    return lines;
}

/* Refuses bytes that no stored text may hold (LF cannot occur inside a line). */
void check_line_bytes(const std::string &file, const RecordLine &line) {
    if (line.text.find('\0') != std::string::npos)
        fail_line(file, line.number, "text holds a NUL byte");
    if (line.text.find('\r') != std::string::npos)
        fail_line(file, line.number, "text holds a carriage return (CR)");
}

std::vector<std::string> split_fields(const std::string &text) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = text.find('\t', start);
        fields.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

/* Optional sign and decimal digits, nothing else, within 32 bits. */
bool parse_int32(const std::string &text, int *value) {
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    if (at == text.size()) return false;
    long long magnitude = 0;
    for (; at < text.size(); at++) {
        if (text[at] < '0' || text[at] > '9') return false;
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > 2147483648LL) return false;
    }
    long long signed_value = negative ? -magnitude : magnitude;
    if (signed_value > 2147483647LL) return false;
    *value = static_cast<int>(signed_value);
    return true;
}

/* The checked fields of one record line: exactly 'count' fields, the first 'integers' of
 * them decimal 32-bit integers named by 'names'. */
std::vector<std::string> split_record(const std::string &file, const RecordLine &line,
                                      const std::vector<const char *> &names, size_t integers,
                                      std::vector<int> *values) {
    check_line_bytes(file, line);
    std::vector<std::string> fields = split_fields(line.text);
    if (fields.size() != names.size()) {
        std::string expected;
        for (const char *name : names) expected += expected.empty() ? name : std::string(", ") + name;
        fail_line(file, line.number,
                  "expected " + std::to_string(names.size()) + " fields separated by TAB (" +
                      expected + "), found " + std::to_string(fields.size()));
    }
    for (size_t i = 0; i < integers; i++) {
        int value;
        if (!parse_int32(fields[i], &value))
            fail_line(file, line.number,
                      std::string(names[i]) + " '" + fields[i] + "' is not a decimal 32-bit integer");
        values->push_back(value);
    }
    return fields;
}

void parse_extensions(const std::string &file, const std::string &content,
                      std::vector<ExtensionLine> *records) {
    std::map<int, size_t> first_line;
    for (const RecordLine &line : record_lines(content)) {
        std::vector<int> values;
        std::vector<std::string> fields =
            split_record(file, line, {"EXTENSION", "CIDNAME", "CIDNUM"}, 1, &values);
        auto seen = first_line.emplace(values[0], line.number);
        if (!seen.second)
            fail_line(file, line.number,
                      "second record for extension " + std::to_string(values[0]) +
                          " (first on line " + std::to_string(seen.first->second) + ")");
        records->push_back({values[0], fields[1], fields[2]});
    }
}

void parse_forwarding(const std::string &file, const std::string &content,
                      std::vector<RuleLine> *rules) {
    for (const RecordLine &line : record_lines(content)) {
        std::vector<int> values;
        std::vector<std::string> fields =
            split_record(file, line, {"EXTENSION", "PRIORITY", "APP", "ARGS"}, 2, &values);
        rules->push_back({values[0], values[1], fields[2], fields[3]});
    }
}

/* Runs parse, turning a refused line or a failed allocation into false and *error. */
template <typename Parse>
bool parse_guarded(Parse parse, std::string *error) {
    try {
        parse();
        return true;
    } catch (const LineError &refused) {
        *error = refused.text;
    } catch (const std::bad_alloc &) {
        error->clear();
    }
    return false;
}

}  // namespace

bool ParseExtensionsText(const std::string &file, const std::string &content,
                         std::vector<ExtensionLine> *records, std::string *error) {
    return parse_guarded([&] { parse_extensions(file, content, records); }, error);
}

bool ParseForwardingText(const std::string &file, const std::string &content,
                         std::vector<RuleLine> *rules, std::string *error) {
    return parse_guarded([&] { parse_forwarding(file, content, rules); }, error);
}
