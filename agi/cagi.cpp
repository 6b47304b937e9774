/* cagi: the AGI session, its environment and settings lists, and small file and text
 * helpers. The session reads from and writes to the streams it was started on. */
#include "cagi.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "quelmo-paths.h"

namespace {

/* Returned for a name that is not in a list; callers never write into it. */
char shared_empty_text[1] = "";

const size_t kListTextMax = 49;
const size_t kEnvLineSize = 1024;

void copy_list_text(char *dest, const char *src) {
    size_t length = strnlen(src, kListTextMax);
    memcpy(dest, src, length);
    dest[length] = '\0';
}

/* Adds a pair in front of *list; a pair that cannot be allocated is skipped, so the pairs
 * already stored stay reachable. */
void add_pair(AGI_VAL_LIST **list, const char *field, const char *value) {
    AGI_VAL_LIST *head =
        AGITool_ListAddItem(*list, const_cast<char *>(field), const_cast<char *>(value));
    if (head != nullptr) *list = head;
}

/* Stores one environment line "name: value" in the list; a line without a colon is
 * skipped. The colon and the one character after it are passed over unexamined. */
void store_environment_line(AGI_VAL_LIST **list, char *line) {
    char *colon = strchr(line, ':');
    if (colon == nullptr) return;
    *colon = '\0';
    char *value = colon + 1;
    if (value[0] != '\0' && value[1] != '\0')
        value += 1;
    else
        value += strlen(value);
    strim(value);
    add_pair(list, line, value);
}

}  // namespace

int FileExists(char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

int strim(char *src) {
    if (src == nullptr) return 0;
    int i = static_cast<int>(strlen(src)) - 1;
    while (i >= 0 && isspace(static_cast<unsigned char>(src[i]))) {
        src[i] = '\0';
        i--;
    }
    return i;
}

AGI_VAL_LIST *AGITool_ListAddItem(AGI_VAL_LIST *l, char *field, char *value) {
    AGI_VAL_LIST *node = static_cast<AGI_VAL_LIST *>(calloc(1, sizeof(AGI_VAL_LIST)));
    if (node == nullptr) return nullptr;
    copy_list_text(node->field, field);
    copy_list_text(node->value, value);
    node->next = l;
    return node;
}

void AGITool_ListDestroy(AGI_VAL_LIST *l) {
    while (l != nullptr) {
        AGI_VAL_LIST *next = l->next;
        free(l);
        l = next;
    }
}

char *AGITool_ListGetVal(AGI_VAL_LIST *l, char *field) {
    for (; l != nullptr; l = l->next) {
        if (strcmp(l->field, field) == 0) return l->value;
    }
    return shared_empty_text;
}

void AGITool_ListDump(AGI_VAL_LIST *l) {
    fputs("VERBOSE \"AGI Dump\"\n", stdout);
    for (; l != nullptr; l = l->next) fprintf(stdout, "VERBOSE \"%s : %s\"\n", l->field, l->value);
    fflush(stdout);
}

int AGITool_Init(AGI_TOOLS *tool) {
    tool->in = stdin;
    tool->out = stdout;
    tool->agi_vars = nullptr;
    tool->settings = nullptr;
    char line[kEnvLineSize];
    while (fgets(line, sizeof(line), stdin) != nullptr && strcmp(line, "\n") != 0)
        store_environment_line(&tool->agi_vars, line);
    add_pair(&tool->settings, "tmpdir", QUELMO_DEFAULT_TMPDIR);
    add_pair(&tool->settings, "festival_text2wave", "text2wave");
    add_pair(&tool->settings, "cepstral_swift", "swift");
    return 0;
}

void AGITool_Destroy(AGI_TOOLS *tool) {
    AGITool_ListDestroy(tool->agi_vars);
    AGITool_ListDestroy(tool->settings);
}
