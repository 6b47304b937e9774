/* fuzz_support: shared set-up of the fuzz targets (see the header). */
#include "fuzz_support.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "quelmo-db.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"

namespace quelmo_fuzz {

namespace {

void discard_message(const char *) {}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

std::string made_scratch;

void remove_scratch() {
    if (!made_scratch.empty()) nftw(made_scratch.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

struct SampleExtension {
    const char *key;
    const char *name;
    const char *number;
};

struct SampleRule {
    int key;
    const char *app;
    const char *args;
};

/* Caller IDs: the global record, extensions with and without a name or number, and a
 * long (outgoing) number. */
const SampleExtension kExtensions[] = {
    {"0", "Example Corp", "5550100"}, {"205", "Alice", "5550105"}, {"206", "Bob", ""},
    {"207", "", "5550107"},           {"5551234567", "Far", "5551234567"},
};

/* Rules of every form: ring rules with ',' and '|', a device without a phone, forwards to
 * outside and inside numbers, a plain rule, and malformed ring and forward args. */
const SampleRule kRules[] = {
    {205, "Dial", "${EXTEN:205},20"},
    {205, "Dial", "Local/5551234567@internal"},
    {206, "Dial", "${EXTEN:206}|15"},
    {206, "Voicemail", "206@default"},
    {207, "Dial", "${EXTEN:208},5"},
    {207, "Dial", "Local/911@internal"},
    {207, "Dial", "Local/300@internal|30"},
    {208, "Dial", "${EXTEN}"},
    {208, "Dial", "@internal"},
    {208, "Dial", "${EXTEN:209},10"},
    {208, "Busy", ""},
};

const char kExternalDialplan[] =
    "; devices of the sample extensions\n"
    "exten => 205,1,Macro(stdexten,SIP/205,205)\n"
    "exten => 206,hint,SIP/206\n"
    "exten => 208,1,Gosub(stdexten,s,1(SIP/NOSUPPORT,208))\r\n";
const char kInternalDialplan[] =
    "exten => 207,1,Macro(stdexten,SIP/207,207)\n"
    "exten => 209,1,Gosub(stdexten,s,1(PJSIP/209&IAX2/x,209))\n";

void create_database(const std::string &path, const char *server_id, int type, u_int32_t flags,
                     DB **dbp) {
    if (db_create_file(const_cast<char *>(server_id), dbp, type, flags, path.c_str(), "fuzz",
                       null_stream()) != 0)
        fail("cannot create a sample database");
}

}  // namespace

void quiet_process() {
    static bool done = false;
    if (done) return;
    done = true;
    quelmo_init();
    quelmo_debug_to(discard_message);
    signal(SIGPIPE, SIG_IGN);
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "fuzz harness check failed: %s\n", what);
    abort();
}

void make_dirs(const std::string &path) {
    for (size_t at = 1; at <= path.size(); at++) {
        if (at != path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot make a directory");
    }
}

const std::string &scratch_dir() {
    if (made_scratch.empty()) {
        std::string base = std::string(QUELMO_ROOT) + "/tmp";
        make_dirs(base);
        std::string pattern = base + "/fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) fail("cannot make the scratch directory");
        made_scratch = name.data();
        atexit(remove_scratch);
    }
    return made_scratch;
}

void write_file(const std::string &path, const std::string &content) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot open a file for writing");
    bool written = fwrite(content.data(), 1, content.size(), file) == content.size();
    if (fclose(file) != 0 || !written) fail("cannot write a file");
}

FILE *null_stream() {
    static FILE *stream = fopen("/dev/null", "we");
    if (stream == nullptr) fail("cannot open /dev/null");
    return stream;
}

int thread_count() {
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) fail("cannot read /proc/self/task");
    int count = 0;
    while (struct dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

void build_sample_databases(const std::string &prefix, const char *server_id) {
    QUELMO_DBS set = {nullptr, nullptr, nullptr, nullptr, null_stream()};
    create_database(prefix + server_id + QUELMO_DB_EXTENSION_SUFFIX, server_id, DB_HASH, 0,
                    &set.extension_dbp);
    create_database(prefix + server_id + QUELMO_DB_FORWARDING_SUFFIX, server_id, DB_BTREE, DB_DUP,
                    &set.forwarding_dbp);
    for (const SampleExtension &sample : kExtensions) {
        EXTENSION_INFO record = {const_cast<char *>(sample.key), const_cast<char *>(sample.name),
                                 const_cast<char *>(sample.number)};
        if (db_insert_extension(&set, &record) != 0) fail("cannot store a sample caller ID");
    }
    int priority = 1;
    for (const SampleRule &sample : kRules) {
        FORWARDING_INFO rule = {priority++, const_cast<char *>(sample.app),
                                const_cast<char *>(sample.args)};
        if (db_append_forwarding_rule(&set, sample.key, &rule) != 0) fail("cannot store a sample rule");
    }
    if (db_close(set.extension_dbp, "extensions", null_stream()) != 0 ||
        db_close(set.forwarding_dbp, "forwarding", null_stream()) != 0)
        fail("cannot close a sample database");
}

void write_sample_dialplans() {
    std::string external = QUELMO_EXTERNAL_CONF;
    make_dirs(external.substr(0, external.rfind('/')));
    write_file(external, kExternalDialplan);
    std::string internal = QUELMO_INTERNAL_CONF;
    make_dirs(internal.substr(0, internal.rfind('/')));
    write_file(internal, kInternalDialplan);
}

}  // namespace quelmo_fuzz
