/* admin-text: the two text formats quelmo.admin loads, parsed from a file's content.
 * Extensions: EXTENSION<TAB>CIDNAME<TAB>CIDNUM per line; forwarding rules:
 * EXTENSION<TAB>PRIORITY<TAB>APP<TAB>ARGS per line, in the order the rules run. Blank
 * lines and lines starting with '#' carry no record. Keeps no state. */
#ifndef ADMIN_TEXT_H
#define ADMIN_TEXT_H

#include <string>
#include <vector>

struct ExtensionLine {
    int key;
    std::string name;
    std::string number;
};

struct RuleLine {
    int key;
    int priority;
    std::string app;
    std::string args;
};

/* Parses content, the whole text of the extensions file named file (the name is used in
 * messages only). Returns true with every record in file order; false when the text is
 * refused, with *error set to "FILE:LINE: reason" (or empty when memory ran out) and
 * *records unspecified. Throws nothing. */
bool ParseExtensionsText(const std::string &file, const std::string &content,
                         std::vector<ExtensionLine> *records, std::string *error);

/* Parses the forwarding rules file's content as ParseExtensionsText does. */
bool ParseForwardingText(const std::string &file, const std::string &content,
                         std::vector<RuleLine> *rules, std::string *error);

#endif
