/* admin-check: quelmo.admin check. Looks at the four files the daemon reads as its user
 * reads them, at every stored item as the store reads it, and at every forwarding rule as
 * the incoming worker runs it (classify_rule, parse_ring_args, cut_forward_number,
 * lookup_ring_device, is_unsupported_device, is_external_forward from quelmo-call). */
#include "admin-check.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>

#include "peer-owner.h"
#include "quelmo-call.h"
#include "quelmo-db.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"

namespace {

const char *const PROGRAM = "quelmo.admin";
const int GLOBAL_RECORD_KEY = 0;

/* ---- Files the daemon's user must read ---- */

/* The daemon's identity as the kernel checks its file access: once started it holds its
 * user id and its one group id, and no supplementary groups. */
struct Reader {
    uid_t uid;
    gid_t gid;
};

/* Whether the reader is granted 'wanted' (a mask of the owner's bits: S_IRUSR, S_IXUSR)
 * on a file with these attributes, by the owner, group or other bits as the kernel picks
 * them. The superuser is granted everything. */
bool granted(const Reader &reader, const struct stat &info, mode_t wanted) {
    if (reader.uid == 0) return true;
    mode_t bits = info.st_mode;
    if (info.st_uid == reader.uid) return (bits & wanted) == wanted;
    bool in_group = info.st_gid == reader.gid;
    mode_t shifted = in_group ? wanted >> 3 : wanted >> 6;
    return (bits & shifted) == shifted;
}

std::string mode_text(const struct stat &info) {
    char text[16];
    snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return text;
}

std::string absolute(const std::string &path) {
    if (!path.empty() && path[0] == '/') return path;
    char *cwd = getcwd(nullptr, 0);
    std::string whole = std::string(cwd != nullptr ? cwd : ".") + "/" + path;
    free(cwd);
    return whole;
}

/* What keeps the reader from reading path: a directory on the way that it cannot search,
 * or the file's own mode; "" when nothing does. The file must exist. */
std::string read_obstacle(const Reader &reader, const std::string &path) {
    std::string whole = absolute(path);
    struct stat info;
    for (size_t slash = whole.find('/', 1); slash != std::string::npos;
         slash = whole.find('/', slash + 1)) {
        std::string dir = whole.substr(0, slash);
        if (stat(dir.c_str(), &info) == 0 && !granted(reader, info, S_IXUSR))
            return "directory " + dir + " (mode " + mode_text(info) +
                   ") does not let it through: give that user search (x) permission on it";
    }
    if (stat(whole.c_str(), &info) == 0 && !granted(reader, info, S_IRUSR))
        return "its mode " + mode_text(info) + " does not let it read the file: give that user" +
               " read (r) permission, for example chmod o+r " + path;
    return "";
}

/* A finding when the daemon's user cannot read an existing file. */
void check_readable(const Reader &reader, const std::string &path, std::vector<std::string> *findings) {
    std::string obstacle = read_obstacle(reader, path);
    if (!obstacle.empty())
        findings->push_back(path + ": the daemon's user (uid " + std::to_string(reader.uid) +
                            ", gid " + std::to_string(reader.gid) + ") cannot read it: " + obstacle);
}

void check_dial_plan_file(const Reader &reader, const char *path, std::vector<std::string> *findings) {
    struct stat info;
    if (stat(path, &info) != 0) {
        findings->push_back(std::string(path) + ": cannot be read (" + strerror(errno) +
                            "); the daemon looks up devices here for every ring rule: create it," +
                            " even empty");
        return;
    }
    check_readable(reader, path, findings);
}

/* ---- Stored items ---- */

/* Closes its database when it goes out of scope. */
struct Database {
    DB *dbp = nullptr;
    std::string path;
    ~Database() { db_close(dbp, path.c_str(), stderr); }
};

using ExtensionRecord = std::unique_ptr<EXTENSION_INFO, void (*)(EXTENSION_INFO *)>;
using RuleList = std::unique_ptr<FORWARDING_LIST, void (*)(FORWARDING_LIST *)>;

/* Opens one database as the daemon does. A failure is a finding (the library has written
 * its reason to standard error). */
bool open_database(const CheckTarget &target, int db_type, Database *database,
                   std::vector<std::string> *findings) {
    if (db_open(const_cast<char *>(target.server_id.c_str()), &database->dbp, db_type,
                database->path.c_str(), PROGRAM, stderr) == 0)
        return true;
    findings->push_back(database->path + ": cannot be opened as server " + target.server_id +
                        "'s database (the reason is on standard error), so every call ends" +
                        " unrouted: write it with quelmo.admin " + target.server_id + " load");
    return false;
}

/* Every key of the database in stored order, once per item; false (and a finding) when
 * they cannot be read. */
bool list_keys(const Database &database, std::vector<int> *keys, std::vector<std::string> *findings) {
    int *listed = nullptr;
    size_t count = 0;
    int status = db_list_keys(database.dbp, &listed, &count);
    if (status != 0) {
        findings->push_back(database.path + ": its items cannot be read (" + db_strerror(status) +
                            "): write it again with quelmo.admin load");
        return false;
    }
    keys->assign(listed, listed + count);
    free(listed);
    return true;
}

const std::string RELOAD_ADVICE = "load the databases again from text with quelmo.admin load";

/* Reads every caller-ID record; says whether the PBX-wide record is there and readable. */
bool check_extension_items(QUELMO_DBS *set, const Database &database,
                           std::vector<std::string> *findings) {
    std::vector<int> keys;
    bool global_found = false;
    if (!list_keys(database, &keys, findings)) return false;
    for (int key : keys) {
        EXTENSION_INFO *found = nullptr;
        int status = db_lookup_extension(set, key, &found);
        ExtensionRecord record(found, db_free_extension);
        if (status == 0 && key == GLOBAL_RECORD_KEY) global_found = true;
        if (status != 0)
            findings->push_back(std::to_string(key) +
                                ": the stored caller-ID record is malformed, so calls go on as if" +
                                " there were none: " + RELOAD_ADVICE);
    }
    return global_found;
}

/* ---- Forwarding rules, judged as the incoming worker runs them ---- */

/* One rule of one extension, and where its findings go. */
struct RuleInQuestion {
    int key;
    size_t number;              /* 1 for the extension's first rule to run */
    const FORWARDING_INFO *rule;
    std::vector<std::string> *findings;
};

void add_rule_finding(const RuleInQuestion &in, const std::string &what) {
    in.findings->push_back(std::to_string(in.key) + ": " + what + " (rule " +
                           std::to_string(in.number) + ": " + in.rule->app + " " +
                           in.rule->args + ")");
}

void check_ring_device(const RuleInQuestion &in, char *extension) {
    std::unique_ptr<char, void (*)(void *)> device(lookup_ring_device(extension), free);
    std::string ext = extension;
    if (device == nullptr) {
        add_rule_finding(in, "extension " + ext + " has no device in " + QUELMO_EXTERNAL_CONF +
                                 " or " + QUELMO_INTERNAL_CONF + ", so this rule rings Local/" +
                                 ext + "@internal: add a hint line naming its device, such" +
                                 " as \"exten => " + ext + ",hint,SIP/" + ext +
                                 "\", to one of them");
    } else if (is_unsupported_device(device.get())) {
        add_rule_finding(in, "the device of extension " + ext + " is " + device.get() +
                                 ", which is never rung, so this rule does nothing: give " + ext +
                                 " a real device in the dial plan or remove the rule");
    }
}

void check_ring_rule(const RuleInQuestion &in, char *args) {
    char *extension = nullptr, *delay = nullptr, separator = ',';
    if (!parse_ring_args(args, &extension, &delay, &separator)) {
        add_rule_finding(in, "the daemon skips this ring rule as malformed: write its arguments" +
                                 std::string(" as ${EXTEN:EXTENSION},SECONDS"));
        return;
    }
    if (separator == '|')
        add_rule_finding(in, "ring rule written with '|': a current Asterisk dials one device" +
                                 std::string(" named after the whole text and fails while the") +
                                 " rule reports success: write ',' in place of '|', which only an Asterisk" +
                                 " older than 1.6 takes");
    check_ring_device(in, extension);
}

void check_forward_rule(const RuleInQuestion &in, char *args, bool global_found) {
    char *number = cut_forward_number(args);
    if (number == nullptr) {
        add_rule_finding(in, "the daemon skips this forward rule as malformed: write its" +
                                 std::string(" arguments as Local/NUMBER@internal"));
        return;
    }
    if (is_external_forward(number) && !global_found)
        add_rule_finding(in, "forward to the outside number " + std::string(number) +
                                 " while there is no PBX-wide record: with SETCIDONFWD set it" +
                                 " presents UNAVAILABLE: add a record for extension 0 (0<TAB>" +
                                 "NAME<TAB>NUMBER) to the extensions file and load it");
}

void check_rule(const RuleInQuestion &in, bool global_found) {
    /* The worker's parsers cut the text in place: they get a copy. */
    std::vector<char> args(in.rule->args, in.rule->args + strlen(in.rule->args) + 1);
    switch (classify_rule(args.data())) {
        case RING_RULE:
            check_ring_rule(in, args.data());
            break;
        case LOCAL_FORWARD_RULE:
            check_forward_rule(in, args.data(), global_found);
            break;
        case PLAIN_RULE:
            break;
    }
}

/* The rules of one key: 'stored' is how many items it holds, since the lookup skips a
 * malformed one as every call does. */
void check_rules_of(QUELMO_DBS *set, int key, size_t stored, bool global_found,
                    std::vector<std::string> *findings) {
    FORWARDING_LIST *found = nullptr;
    db_lookup_forwarding_rules(set, key, &found);
    RuleList rules(found, db_free_forwarding_rules);
    size_t number = 0;
    for (FORWARDING_LIST *node = rules.get(); node != nullptr;
         node = static_cast<FORWARDING_LIST *>(node->next))
        check_rule({key, ++number, node->dial_plan, findings}, global_found);
    if (number < stored)
        findings->push_back(std::to_string(key) + ": " + std::to_string(stored - number) + " of " +
                            std::to_string(stored) +
                            " stored forwarding rules are malformed and every call skips them: " +
                            RELOAD_ADVICE);
}

void check_forwarding_items(QUELMO_DBS *set, const Database &database, bool global_found,
                            std::vector<std::string> *findings) {
    std::vector<int> keys;
    if (!list_keys(database, &keys, findings)) return;
    for (size_t first = 0; first < keys.size();) {
        size_t end = first;
        while (end < keys.size() && keys[end] == keys[first]) end++;
        check_rules_of(set, keys[first], end - first, global_found, findings);
        first = end;
    }
}

/* Looks at both databases: the records first, since the rules' findings depend on
 * whether the PBX-wide record is there. */
void check_databases(const CheckTarget &target, const Reader &reader,
                     std::vector<std::string> *findings) {
    Database extensions, forwarding;
    extensions.path = target.extension_db;
    forwarding.path = target.forwarding_db;
    bool extensions_open = open_database(target, DB_HASH, &extensions, findings);
    bool forwarding_open = open_database(target, DB_BTREE, &forwarding, findings);
    if (extensions_open) check_readable(reader, extensions.path, findings);
    if (forwarding_open) check_readable(reader, forwarding.path, findings);
    /* No error stream: a malformed item is a finding here, not a line on standard error. */
    QUELMO_DBS set = {extensions.dbp, forwarding.dbp, nullptr, nullptr, nullptr};
    bool global_found = extensions_open && check_extension_items(&set, extensions, findings);
    if (forwarding_open) check_forwarding_items(&set, forwarding, global_found, findings);
}

/* ---- Who the server serves ---- */

/* The words of the last QUELMO_ALLOW_USERS line of the service's settings (the one the
 * unit gets), its quotes taken off; none when the file or the line is missing. */
std::vector<std::string> allowed_user_words(const char *settings) {
    const std::string name = "QUELMO_ALLOW_USERS=";
    std::ifstream in(settings);
    std::string line, value;
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos && line.compare(start, name.size(), name) == 0)
            value = line.substr(start + name.size());
    }
    size_t last = value.find_last_not_of(" \t\r");
    value.erase(last == std::string::npos ? 0 : last + 1);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    std::istringstream words(value);
    std::vector<std::string> users;
    for (std::string word; words >> word;) users.push_back(word);
    return users;
}

/* The server refuses every local user but root, its starting user, "asterisk" and the -a
 * users the unit passes from QUELMO_ALLOW_USERS: an unknown name stops the service from
 * starting, and without any of those users Asterisk's calls are refused. Naming root
 * says that Asterisk runs as root, which the server serves anyway. */
void check_allowed_users(std::vector<std::string> *findings) {
    bool served = getpwnam("asterisk") != nullptr;
    for (const std::string &user : allowed_user_words(QUELMO_SERVICE_DEFAULTS)) {
        uid_t uid = 0;
        if (peer_user_id(user.c_str(), &uid) != 0)
            findings->push_back(std::string(QUELMO_SERVICE_DEFAULTS) + ": QUELMO_ALLOW_USERS names " +
                                user + ", which is no user here, so the quelmo-fast service does" +
                                " not start: correct the name or remove it");
        else
            served = true;
    }
    if (!served)
        findings->push_back(std::string(QUELMO_SERVICE_DEFAULTS) +
                            ": there is no user asterisk and QUELMO_ALLOW_USERS names no other" +
                            " user, so quelmo.fast serves root alone and refuses Asterisk's" +
                            " calls: name the user Asterisk runs as in QUELMO_ALLOW_USERS");
}

void discard_message(const char *) {}

}  // namespace

int CheckServer(const CheckTarget &target, std::vector<std::string> *findings) noexcept {
    try {
        /* The device lookups log; the daemon's log is not this program's to write. */
        quelmo_debug_to(discard_message);
        Reader reader = {target.reader_uid, target.reader_gid};
        check_dial_plan_file(reader, QUELMO_EXTERNAL_CONF, findings);
        check_dial_plan_file(reader, QUELMO_INTERNAL_CONF, findings);
        check_databases(target, reader, findings);
        check_allowed_users(findings);
        return 0;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "%s: out of memory; the findings are incomplete\n", PROGRAM);
        return -1;
    }
}
