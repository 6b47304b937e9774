/* quelmo.admin: creates and inspects the two databases of one server. 'load' replaces both
 * from text files (parsed by admin-text), checked whole before anything is written, each
 * written to a new file and renamed over the old one; 'dump' prints both in the same text
 * formats; 'upgrade' brings files of an older Berkeley DB to the current format; 'explain'
 * (admin-explain) and 'check' (admin-check) show what calls will do; 'calls' (admin-calls)
 * tells from the debug log what happened to each call. The databases are
 * reached only through the store (quelmo-db), so this program never sees the password. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "admin-calls.h"
#include "admin-check.h"
#include "admin-explain.h"
#include "admin-text.h"
#include "quelmo-db.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"

namespace {

const char *const PROGRAM = "quelmo.admin";

const char *const USAGE =
    "usage: quelmo.admin [--dir DIR] SERVER_ID load EXTENSIONS_FILE FORWARDING_FILE\n"
    "       quelmo.admin [--dir DIR] SERVER_ID dump\n"
    "       quelmo.admin [--dir DIR] SERVER_ID upgrade\n"
    "       quelmo.admin [--dir DIR] SERVER_ID explain [--context CONTEXT] [--callerid TEXT]\n"
    "                    [--set NAME=VALUE]... [--reply APP=RESULT]... [--no-agi-version]\n"
    "                    [--log] EXTENSION\n"
    "       quelmo.admin [--dir DIR] SERVER_ID check\n"
    "       quelmo.admin [--dir DIR] SERVER_ID calls [--log FILE]... [--since TIME]\n"
    "                    [--until TIME] [--extension N] [--tsv]\n"
    "DIR is the database directory (default " QUELMO_DB_DIR ").\n"
    "Extensions file: EXTENSION<TAB>CIDNAME<TAB>CIDNUM per line.\n"
    "Forwarding file: EXTENSION<TAB>PRIORITY<TAB>APP<TAB>ARGS per line, in the order the\n"
    "rules run. Blank lines and lines starting with '#' are ignored.\n"
    "TIME: YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] or HH:MM[:SS] (today), local time.\n";

/* The databases' file names inside their directory start with the fixed prefix less its
 * directory ("/quelmo"), as the server names them. */
constexpr bool starts_with(const char *text, const char *prefix) {
    while (*prefix != '\0')
        if (*text++ != *prefix++) return false;
    return true;
}
static_assert(starts_with(QUELMO_DB_PREFIX, QUELMO_DB_DIR), "the prefix lies in the directory");
const char *const FILE_STEM = &QUELMO_DB_PREFIX[sizeof(QUELMO_DB_DIR) - 1];

/* Mode of every file written here: the server reads the databases under its own user id. */
const mode_t DATABASE_MODE = 0644;

/* A failure that ends the run with status 1. Its text is the whole line for standard
 * error; it is empty when the library has already written its own report there. */
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &text) { throw Failure(std::string(PROGRAM) + ": " + text); }
[[noreturn]] void fail_reported() { throw Failure(""); }
[[noreturn]] void fail_system(const std::string &what) { fail(what + ": " + strerror(errno)); }

struct Options {
    std::string dir = QUELMO_DB_DIR;
    std::string server_id;
    std::string command;
    std::vector<std::string> files; /* load: the extensions file, then the forwarding file;
                                       explain: the words after "explain" */
    ExplainRequest explain;         /* explain: the call */
    CallsRequest calls;             /* calls: the logs and which calls to report */
};

/* Fills options from the command line; false when it does not match the usage. */
bool parse_command_line(int argc, char **argv, Options *options) {
    int next = 1;
    if (next < argc && strcmp(argv[next], "--dir") == 0) {
        if (next + 1 >= argc || argv[next + 1][0] == '\0') return false;
        options->dir = argv[next + 1];
        next += 2;
    }
    if (argc - next < 2) return false;
    options->server_id = argv[next++];
    options->command = argv[next++];
    options->files.assign(argv + next, argv + argc);
    if (options->command == "load") return options->files.size() == 2;
    if (options->command == "explain") return ParseExplainArguments(options->files, &options->explain);
    if (options->command == "calls") return ParseCallsArguments(options->files, &options->calls);
    return (options->command == "dump" || options->command == "upgrade" ||
            options->command == "check") &&
           options->files.empty();
}

/* The directory and the start of the database file names, as the server's prefix. */
std::string database_prefix(const Options &options) { return options.dir + FILE_STEM; }

std::string database_path(const Options &options, const char *suffix) {
    return database_prefix(options) + options.server_id + suffix;
}

/* The store takes the identifier as a mutable text it never changes. */
char *server_id_arg(const Options &options) { return const_cast<char *>(options.server_id.c_str()); }

/* ---- Text files ---- */

std::string read_whole_file(const std::string &path) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) fail_system(path);
    std::string content;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, got);
    bool failed = ferror(file) != 0;
    int saved_errno = errno;
    fclose(file);
    errno = saved_errno;
    if (failed) fail_system(path);
    return content;
}

/* The records of a text file, parsed by parse (ParseExtensionsText or
 * ParseForwardingText) and checked whole; a refused line ends the run. */
template <typename Record>
std::vector<Record> parse_text_file(const std::string &file,
                                    bool (*parse)(const std::string &, const std::string &,
                                                  std::vector<Record> *, std::string *)) {
    std::vector<Record> records;
    std::string error;
    if (!parse(file, read_whole_file(file), &records, &error)) {
        if (error.empty()) throw std::bad_alloc();
        throw Failure(error);
    }
    return records;
}

/* ---- Files in the database directory ---- */

/* A fresh file name beside 'final', removed again unless it has been renamed over final. */
struct NewFile {
    std::string final_path;
    std::string path;
    bool renamed = false;
    ~NewFile() {
        if (!renamed && !path.empty()) unlink(path.c_str());
    }
};

/* Picks an unused name beside final and leaves it free, for the library to create with
 * DB_EXCL (which refuses a name taken in between). */
void choose_new_name(const std::string &final_path, NewFile *file) {
    file->final_path = final_path;
    std::string pattern = final_path + ".new.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) fail_system("cannot create a new file beside " + final_path);
    close(fd);
    file->path = name.data();
    unlink(file->path.c_str());
}

void sync_path(const std::string &path, int flags) {
    int fd = open(path.c_str(), flags);
    if (fd < 0) fail_system(path);
    int status = fsync(fd);
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    if (status != 0) fail_system(path);
}

/* Makes a written file readable by the server whatever the umask, and durable. */
void finish_file(const NewFile &file) {
    if (chmod(file.path.c_str(), DATABASE_MODE) != 0) fail_system(file.path);
    sync_path(file.path, O_RDONLY);
}

/* Renames each new file over its final name, then makes the renames durable. A server
 * opening a database meanwhile gets either the old file or the new one, whole. */
void replace_files(std::vector<NewFile *> files) {
    for (NewFile *file : files) {
        if (rename(file->path.c_str(), file->final_path.c_str()) != 0)
            fail_system("cannot rename " + file->path + " over " + file->final_path);
        file->renamed = true;
    }
    const std::string &any = files.front()->final_path;
    sync_path(any.substr(0, any.rfind('/') + 1), O_RDONLY | O_DIRECTORY);
}

void copy_file(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY);
    if (in < 0) fail_system(from);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, DATABASE_MODE);
    if (out < 0) {
        int saved_errno = errno;
        close(in);
        errno = saved_errno;
        fail_system(to);
    }
    char buffer[65536];
    ssize_t got;
    std::string failed_on;
    while (failed_on.empty() && (got = read(in, buffer, sizeof(buffer))) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failed_on = from;
        for (ssize_t done = 0; failed_on.empty() && done < got;) {
            ssize_t put = write(out, buffer + done, got - done);
            if (put < 0 && errno != EINTR) failed_on = to;
            if (put > 0) done += put;
        }
    }
    int saved_errno = errno;
    close(in);
    close(out);
    errno = saved_errno;
    if (!failed_on.empty()) fail_system(failed_on);
}

/* ---- Databases ---- */

/* Closes the handle it holds when it goes out of scope (reports go to standard error). */
struct Handle {
    DB *dbp = nullptr;
    std::string path;
    ~Handle() { db_close(dbp, path.c_str(), stderr); }
    /* Closes now, for a writer whose close must succeed before its file counts as written. */
    void close_now() {
        DB *closing = dbp;
        dbp = nullptr;
        if (db_close(closing, path.c_str(), stderr) != 0) fail_reported();
    }
};

void create_database(const Options &options, int db_type, u_int32_t db_flags, Handle *handle) {
    int status = db_create_file(server_id_arg(options), &handle->dbp, db_type, db_flags,
                                handle->path.c_str(), PROGRAM, stderr);
    if (status != 0) fail_reported();
}

void open_database(const Options &options, int db_type, Handle *handle) {
    int status = db_open(server_id_arg(options), &handle->dbp, db_type, handle->path.c_str(),
                         PROGRAM, stderr);
    if (status != 0) fail_reported();
}

void write_extension_database(const Options &options, const NewFile &file,
                              const std::vector<ExtensionLine> &records) {
    Handle handle;
    handle.path = file.path;
    create_database(options, DB_HASH, 0, &handle);
    QUELMO_DBS set = {handle.dbp, nullptr, nullptr, nullptr, nullptr};
    for (const ExtensionLine &record : records) {
        std::string key = std::to_string(record.key);
        EXTENSION_INFO info = {const_cast<char *>(key.c_str()), const_cast<char *>(record.name.c_str()),
                               const_cast<char *>(record.number.c_str())};
        int status = db_insert_extension(&set, &info);
        if (status != 0)
            fail(file.final_path + ": cannot store extension " + key + ": " + db_strerror(status));
    }
    handle.close_now();
    finish_file(file);
}

void write_forwarding_database(const Options &options, const NewFile &file,
                               const std::vector<RuleLine> &rules) {
    Handle handle;
    handle.path = file.path;
    create_database(options, DB_BTREE, DB_DUP, &handle);
    QUELMO_DBS set = {nullptr, handle.dbp, nullptr, nullptr, nullptr};
    for (const RuleLine &rule : rules) {
        FORWARDING_INFO info = {rule.priority, const_cast<char *>(rule.app.c_str()),
                                const_cast<char *>(rule.args.c_str())};
        int status = db_append_forwarding_rule(&set, rule.key, &info);
        if (status != 0)
            fail(file.final_path + ": cannot store a rule of extension " +
                 std::to_string(rule.key) + ": " + db_strerror(status));
    }
    handle.close_now();
    finish_file(file);
}

/* Every key of a database in stored order, once per item. */
std::vector<int> list_keys(DB *dbp, const std::string &path) {
    int *keys = nullptr;
    size_t count = 0;
    int status = db_list_keys(dbp, &keys, &count);
    if (status != 0) fail(path + ": cannot read the keys: " + db_strerror(status));
    std::vector<int> listed(keys, keys + count);
    free(keys);
    return listed;
}

/* Frees a record the store returned when it goes out of scope. */
struct OwnedExtension {
    EXTENSION_INFO *info = nullptr;
    ~OwnedExtension() {
        if (info == nullptr) return;
        free(info->cidname);
        free(info->cidnum);
        free(info);
    }
};

struct OwnedRules {
    FORWARDING_LIST *head = nullptr;
    ~OwnedRules() {
        while (head != nullptr) {
            FORWARDING_LIST *next = static_cast<FORWARDING_LIST *>(head->next);
            free(head->dial_plan->app);
            free(head->dial_plan->args);
            free(head->dial_plan);
            free(head);
            head = next;
        }
    }
};

/* A stored text as a field of the text format, which cannot carry TAB, CR or LF. */
std::string dump_field(const char *text, const std::string &path, int key) {
    std::string field = text != nullptr ? text : "";
    if (field.find_first_of("\t\r\n") != std::string::npos)
        fail(path + ": extension " + std::to_string(key) +
             " holds a TAB, CR or LF, which the text format cannot carry");
    return field;
}

[[noreturn]] void fail_unreadable(const std::string &path, int key, int status) {
    fail(path + ": unreadable item for extension " + std::to_string(key) + ": " +
         (status == DB_NOTFOUND ? "malformed" : db_strerror(status)));
}

std::string dump_extensions(QUELMO_DBS *set, const std::string &path) {
    std::string out = "# extensions\n";
    for (int key : list_keys(set->extension_dbp, path)) {
        OwnedExtension record;
        int status = db_lookup_extension(set, key, &record.info);
        if (status != 0) fail_unreadable(path, key, status);
        out += std::to_string(key) + "\t" + dump_field(record.info->cidname, path, key) + "\t" +
               dump_field(record.info->cidnum, path, key) + "\n";
    }
    return out;
}

/* The rule lines of one extension. 'stored' is how many items the key holds: the lookup
 * skips a malformed item, and the dump must not silently lose it. */
std::string dump_rules_of(QUELMO_DBS *set, int key, size_t stored, const std::string &path) {
    OwnedRules rules;
    int status = db_lookup_forwarding_rules(set, key, &rules.head);
    if (status != 0) fail_unreadable(path, key, status);
    std::string lines;
    size_t read = 0;
    for (FORWARDING_LIST *node = rules.head; node != nullptr;
         node = static_cast<FORWARDING_LIST *>(node->next), read++) {
        FORWARDING_INFO *rule = node->dial_plan;
        lines += std::to_string(key) + "\t" + std::to_string(rule->priority) + "\t" +
                 dump_field(rule->app, path, key) + "\t" + dump_field(rule->args, path, key) + "\n";
    }
    if (read != stored) fail_unreadable(path, key, DB_NOTFOUND);
    return lines;
}

std::string dump_forwarding(QUELMO_DBS *set, const std::string &path) {
    std::string out = "# forwarding\n";
    std::vector<int> keys = list_keys(set->forwarding_dbp, path);
    for (size_t first = 0; first < keys.size();) {
        size_t end = first;
        while (end < keys.size() && keys[end] == keys[first]) end++;
        out += dump_rules_of(set, keys[first], end - first, path);
        first = end;
    }
    return out;
}

void run_dump(const Options &options) {
    Handle extensions, forwarding;
    extensions.path = database_path(options, QUELMO_DB_EXTENSION_SUFFIX);
    forwarding.path = database_path(options, QUELMO_DB_FORWARDING_SUFFIX);
    open_database(options, DB_HASH, &extensions);
    open_database(options, DB_BTREE, &forwarding);
    /* No error stream: the lookups' per-record lines are not wanted here. */
    QUELMO_DBS set = {extensions.dbp, forwarding.dbp, nullptr, nullptr, nullptr};
    std::string out = dump_extensions(&set, extensions.path) + dump_forwarding(&set, forwarding.path);
    if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0)
        fail_system("standard output");
}

/* Picks the new files that will replace the server's two databases. */
void choose_new_names(const Options &options, NewFile *extension_file, NewFile *forwarding_file) {
    choose_new_name(database_path(options, QUELMO_DB_EXTENSION_SUFFIX), extension_file);
    choose_new_name(database_path(options, QUELMO_DB_FORWARDING_SUFFIX), forwarding_file);
}

void run_load(const Options &options) {
    std::vector<ExtensionLine> extensions = parse_text_file(options.files[0], ParseExtensionsText);
    std::vector<RuleLine> rules = parse_text_file(options.files[1], ParseForwardingText);
    NewFile extension_file, forwarding_file;
    choose_new_names(options, &extension_file, &forwarding_file);
    write_extension_database(options, extension_file, extensions);
    write_forwarding_database(options, forwarding_file, rules);
    replace_files({&extension_file, &forwarding_file});
}

/* Upgrades a copy of one database and checks that the copy opens as the server opens it. */
void upgrade_copy(const Options &options, int db_type, const NewFile &file) {
    copy_file(file.final_path, file.path);
    if (db_upgrade_file(server_id_arg(options), file.path.c_str(), PROGRAM, stderr) != 0)
        fail(file.final_path + ": upgrade failed; the file is left as it was");
    Handle check;
    check.path = file.path;
    if (db_open(server_id_arg(options), &check.dbp, db_type, check.path.c_str(), PROGRAM, stderr) != 0)
        fail(file.final_path + ": the upgraded copy does not open; the file is left as it was");
    check.close_now();
    finish_file(file);
}

void run_upgrade(const Options &options) {
    NewFile extension_file, forwarding_file;
    choose_new_names(options, &extension_file, &forwarding_file);
    upgrade_copy(options, DB_HASH, extension_file);
    upgrade_copy(options, DB_BTREE, forwarding_file);
    replace_files({&extension_file, &forwarding_file});
}

/* Returns the exit status: 0 when the call was played. */
int run_explain(Options *options) {
    options->explain.server_id = options->server_id;
    options->explain.db_prefix = database_prefix(*options);
    return ExplainCall(options->explain, stdout);
}

/* Returns the exit status: 0 when every log was read whole. */
int run_calls(Options *options) {
    options->calls.server_id = options->server_id;
    return ReportCalls(options->calls, stdout);
}

/* Prints the findings and their count. Returns the exit status: 0 without findings. */
int run_check(const Options &options) {
    CheckTarget target = {options.server_id, database_path(options, QUELMO_DB_EXTENSION_SUFFIX),
                          database_path(options, QUELMO_DB_FORWARDING_SUFFIX), QUELMO_RUN_UID,
                          QUELMO_RUN_GID};
    std::vector<std::string> findings;
    if (CheckServer(target, &findings) != 0) return 1;
    for (const std::string &finding : findings) printf("%s\n", finding.c_str());
    if (findings.empty())
        printf("no findings\n");
    else
        printf("%zu finding%s\n", findings.size(), findings.size() == 1 ? "" : "s");
    if (fflush(stdout) != 0) fail_system("standard output");
    return findings.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse_command_line(argc, argv, &options)) {
        fputs(USAGE, stderr);
        return 2;
    }
    try {
        if (options.command == "explain" || options.command == "check") quelmo_init();
        if (options.command == "explain") return run_explain(&options);
        if (options.command == "check") return run_check(options);
        if (options.command == "calls") return run_calls(&options);
        if (options.command == "load")
            run_load(options);
        else if (options.command == "dump")
            run_dump(options);
        else
            run_upgrade(options);
        return 0;
    } catch (const Failure &failure) {
        if (failure.what()[0] != '\0') fprintf(stderr, "%s\n", failure.what());
    } catch (const std::exception &error) {
        fprintf(stderr, "%s: %s\n", PROGRAM, error.what());
    }
    return 1;
}
