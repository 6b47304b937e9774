/* quelmo-db: the database set of one server (two encrypted Berkeley DB handles, their file
 * names, the borrowed error stream), the stored record formats, the lookups the dispatcher
 * runs, and the writers quelmo.admin fills new files with. Every diagnostic goes to the
 * set's error stream; nothing here writes the debug log or keeps state between calls. */
#include "quelmo-db.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string.h>

#include "quelmo-password.h"
#include "quelmo-paths.h"

namespace {

/* The server's handles: free-threaded, read-only, never memory-mapped. */
const u_int32_t READ_ONLY_FLAGS = DB_THREAD | DB_RDONLY | DB_NOMMAP;
/* New files must be readable by the server, which runs under another user id. */
const int NEW_FILE_MODE = 0644;
/* Keys and priorities are 32-bit little-endian two's complement integers. */
const size_t INT_BYTES = 4;

/* Writes to the error stream; without one, writes nothing. Texts from outside are
 * arguments, never the format. */
__attribute__((format(printf, 2, 3))) void write_error(FILE *error_file, const char *format, ...) {
    if (error_file == nullptr) return;
    va_list args;
    va_start(args, format);
    vfprintf(error_file, format, args);
    va_end(args);
    fflush(error_file);
}

void encode_int(int value, unsigned char bytes[INT_BYTES]) {
    uint32_t bits = static_cast<uint32_t>(value);
    for (size_t i = 0; i < INT_BYTES; i++) bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
}

int decode_int(const unsigned char *bytes) {
    uint32_t bits = 0;
    for (size_t i = INT_BYTES; i > 0; i--) bits = bits << 8 | bytes[i - 1];
    int32_t value;
    memcpy(&value, &bits, sizeof(value));
    return value;
}

/* A key item over 'bytes', which must outlive it. */
DBT make_key(int value, unsigned char bytes[INT_BYTES]) {
    DBT key;
    memset(&key, 0, sizeof(key));
    encode_int(value, bytes);
    key.data = bytes;
    key.size = INT_BYTES;
    return key;
}

/* An item the library fills into memory of its own allocation; the receiver frees data. */
DBT make_library_item() {
    DBT item;
    memset(&item, 0, sizeof(item));
    item.flags = DB_DBT_MALLOC;
    return item;
}

/* An item the library fills into 'bytes' (a returned key of a free-threaded handle). */
DBT make_key_buffer(unsigned char bytes[INT_BYTES]) {
    DBT key;
    memset(&key, 0, sizeof(key));
    key.data = bytes;
    key.ulen = INT_BYTES;
    key.flags = DB_DBT_USERMEM;
    return key;
}

/* prefix + server_id + suffix in an exact-size heap buffer; null without memory. */
char *make_file_name(const char *prefix, const char *server_id, const char *suffix) {
    size_t size = strlen(prefix) + strlen(server_id) + strlen(suffix) + 1;
    char *name = static_cast<char *>(malloc(size));
    if (name != nullptr) snprintf(name, size, "%s%s%s", prefix, server_id, suffix);
    return name;
}

/* The database password of server_id in an exact-size heap buffer (identifier, 7-character
 * text, 4-digit number, terminator); null without memory. Release with release_password. */
char *make_password(const char *server_id) {
    size_t size = strlen(server_id) + strlen(QUELMO_DB_PASSWORD_TEXT) + 4 + 1;
    char *password = static_cast<char *>(malloc(size));
    if (password != nullptr)
        snprintf(password, size, "%s%s%d", server_id, QUELMO_DB_PASSWORD_TEXT,
                 QUELMO_DB_PASSWORD_NUMBER);
    return password;
}

/* Wipes the password before freeing it, so it does not linger in freed memory. */
void release_password(char *password) {
    if (password == nullptr) return;
    explicit_bzero(password, strlen(password));
    free(password);
}

/* Gives the handle's private environment the two settings it would otherwise look up on
 * every open, each time at a cost of system calls: its mutexes spin once before blocking
 * (instead of 50 times per processor, counted from /sys; a handle is used by one thread
 * at a time), and its directory for temporary files is /var/tmp, the first the library
 * looks for (only in-memory databases use it; these are files). */
void settle_private_environment(DB *dbp) {
    DB_ENV *environment = dbp->get_env(dbp);
    environment->mutex_set_tas_spins(environment, 1);
    environment->set_tmp_dir(environment, "/var/tmp");
}

/* Creates a handle reporting to error_file under program_name and gives it server_id's
 * password. The handle is stored through *dbpp as soon as it exists, also when the
 * password step fails. Returns 0 or the status of the failed step, already written. */
int prepare_handle(const char *server_id, DB **dbpp, const char *filename,
                   const char *program_name, FILE *error_file) {
    const char *prefix = program_name != nullptr ? program_name : "";
    DB *dbp = nullptr;
    int status = db_create(&dbp, nullptr, 0);
    if (status != 0) {
        write_error(error_file, "%s: %s\n", prefix, db_strerror(status));
        return status;
    }
    *dbpp = dbp;
    settle_private_environment(dbp);
    dbp->set_errfile(dbp, error_file);
    dbp->set_errpfx(dbp, prefix);
    char *password = make_password(server_id != nullptr ? server_id : "");
    /* Without encryption set, a writable handle would create a file in clear text. */
    status = password != nullptr ? dbp->set_encrypt(dbp, password, DB_ENCRYPT_AES) : ENOMEM;
    release_password(password);
    if (status != 0) dbp->err(dbp, status, "Database '%s' open failed.", filename);
    return status;
}

/* prepare_handle, then the open of filename with the given flags. Returns 0 or the status
 * of the failed step; the handle stays in *dbpp once created. */
int open_handle(const char *server_id, DB **dbpp, int db_type, u_int32_t db_flags,
                u_int32_t open_flags, int mode, const char *filename, const char *program_name,
                FILE *error_file) {
    int status = prepare_handle(server_id, dbpp, filename, program_name, error_file);
    if (status != 0) return status;
    DB *dbp = *dbpp;
    if (db_flags != 0) status = dbp->set_flags(dbp, db_flags);
    if (status == 0)
        status = dbp->open(dbp, nullptr, filename, nullptr, static_cast<DBTYPE>(db_type),
                           open_flags, mode);
    if (status != 0) dbp->err(dbp, status, "Database '%s' open failed.", filename);
    return status;
}

/* Forgets the (closed) handles and frees the names, leaving the set empty. */
void clear_set(QUELMO_DBS *quelmo) {
    quelmo->extension_dbp = nullptr;
    quelmo->forwarding_dbp = nullptr;
    free(quelmo->extension_db_name);
    free(quelmo->forwarding_db_name);
    quelmo->extension_db_name = nullptr;
    quelmo->forwarding_db_name = nullptr;
}

/* Closes whatever a failed start-up created and frees the names, leaving the set empty. */
void release_failed_set(QUELMO_DBS *quelmo) {
    db_close(quelmo->extension_dbp, quelmo->extension_db_name, quelmo->error_file);
    db_close(quelmo->forwarding_dbp, quelmo->forwarding_db_name, quelmo->error_file);
    clear_set(quelmo);
}

/* Finds the two zero-terminated texts that follow 'start' within an item of 'size' bytes.
 * Returns false for a malformed item: one whose terminators do not both lie inside it. */
bool split_texts(const void *item, size_t size, size_t start, const char **first,
                 const char **second) {
    if (item == nullptr || start > size) return false;
    const char *bytes = static_cast<const char *>(item);
    const char *end = bytes + size;
    const char *first_end = static_cast<const char *>(memchr(bytes + start, 0, size - start));
    if (first_end == nullptr) return false;
    if (memchr(first_end + 1, 0, end - (first_end + 1)) == nullptr) return false;
    *first = bytes + start;
    *second = first_end + 1;
    return true;
}

/* Exact heap copy of a caller-ID text, null for an empty one. Sets *failed when out of memory. */
char *copy_optional_text(const char *text, bool *failed) {
    if (text[0] == '\0') return nullptr;
    char *copy = strdup(text);
    if (copy == nullptr) *failed = true;
    return copy;
}

void free_extension(EXTENSION_INFO *record) {
    free(record->cidname);
    free(record->cidnum);
    free(record);
}

/* A caller-ID record (extension null) from a well-formed item; null without memory. */
EXTENSION_INFO *make_extension(const char *name, const char *number) {
    EXTENSION_INFO *record = static_cast<EXTENSION_INFO *>(calloc(1, sizeof(EXTENSION_INFO)));
    if (record == nullptr) return nullptr;
    bool failed = false;
    record->cidname = copy_optional_text(name, &failed);
    record->cidnum = copy_optional_text(number, &failed);
    if (!failed) return record;
    free_extension(record);
    return nullptr;
}

void free_rule_list(FORWARDING_LIST *node) {
    while (node != nullptr) {
        FORWARDING_LIST *next = static_cast<FORWARDING_LIST *>(node->next);
        if (node->dial_plan != nullptr) {
            free(node->dial_plan->app);
            free(node->dial_plan->args);
            free(node->dial_plan);
        }
        free(node);
        node = next;
    }
}

/* A list node holding a new rule with exact copies of both texts; null without memory,
 * and then nothing is left allocated. */
FORWARDING_LIST *make_rule_node(int priority, const char *app, const char *args) {
    FORWARDING_LIST *node = static_cast<FORWARDING_LIST *>(calloc(1, sizeof(FORWARDING_LIST)));
    FORWARDING_INFO *rule = static_cast<FORWARDING_INFO *>(calloc(1, sizeof(FORWARDING_INFO)));
    if (node != nullptr && rule != nullptr) {
        node->dial_plan = rule;
        rule->priority = priority;
        rule->app = strdup(app);
        rule->args = strdup(args);
        if (rule->app != nullptr && rule->args != nullptr) return node;
    } else {
        free(rule);
    }
    free_rule_list(node);
    return nullptr;
}

/* A rule list under construction, in stored order. */
struct RuleList {
    FORWARDING_LIST *head = nullptr;
    FORWARDING_LIST *tail = nullptr;
};

/* Appends the rule in 'item' to list and writes its line; a malformed item is skipped with
 * "Malformed item for %d\n". Returns 0, or ENOMEM when memory ran out. */
int append_rule_item(QUELMO_DBS *quelmo, int key, const DBT *item, RuleList *list) {
    const char *app;
    const char *args;
    if (item->size < INT_BYTES ||
        !split_texts(item->data, item->size, INT_BYTES, &app, &args)) {
        write_error(quelmo->error_file, "Malformed item for %d\n", key);
        return 0;
    }
    int priority = decode_int(static_cast<const unsigned char *>(item->data));
    write_error(quelmo->error_file, "Extension = %d %d|%s|%s\n", key, priority, app, args);
    FORWARDING_LIST *node = make_rule_node(priority, app, args);
    if (node == nullptr) return ENOMEM;
    if (list->tail == nullptr)
        list->head = node;
    else
        list->tail->next = node;
    list->tail = node;
    return 0;
}

/* Appends the item at the cursor, then every further duplicate of its key, to list. Takes
 * 'first' (frees its data). Returns 0 when the duplicates ran out or the walk ended on a
 * library error (neither is reported), ENOMEM when memory ran out. */
int collect_rules(QUELMO_DBS *quelmo, DBC *cursor, int key, DBT first, RuleList *list) {
    DBT item = first;
    for (;;) {
        int status = append_rule_item(quelmo, key, &item, list);
        free(item.data);
        if (status != 0) return status;
        unsigned char key_bytes[INT_BYTES];
        DBT next_key = make_key_buffer(key_bytes);
        item = make_library_item();
        status = cursor->c_get(cursor, &next_key, &item, DB_NEXT_DUP);
        if (status != 0) {
            free(item.data);
            return status == ENOMEM ? ENOMEM : 0;
        }
    }
}

/* Stores 'size' bytes under key with put 'flags', writing "Insert failed\n" on failure. */
int put_item(DB *dbp, FILE *error_file, int key, void *bytes, size_t size, u_int32_t flags) {
    unsigned char key_bytes[INT_BYTES];
    DBT key_item = make_key(key, key_bytes);
    DBT data;
    memset(&data, 0, sizeof(data));
    data.data = bytes;
    data.size = static_cast<u_int32_t>(size);
    int status = dbp->put(dbp, nullptr, &key_item, &data, flags);
    if (status != 0) write_error(error_file, "Insert failed\n");
    return status;
}

/* Whether dbp keeps several items under one key. */
bool has_duplicates(DB *dbp) {
    u_int32_t flags = 0;
    return dbp->get_flags(dbp, &flags) == 0 && (flags & DB_DUP) != 0;
}

/* Appends one key to a growing heap array. Returns false without memory (array kept). */
bool push_key(int **keys, size_t *count, size_t *capacity, int key) {
    if (*count == *capacity) {
        size_t grown = *capacity == 0 ? 64 : *capacity * 2;
        int *larger = static_cast<int *>(realloc(*keys, grown * sizeof(int)));
        if (larger == nullptr) return false;
        *keys = larger;
        *capacity = grown;
    }
    (*keys)[(*count)++] = key;
    return true;
}

}  // namespace

int db_startup(QUELMO_DBS *quelmo, char *server_id, FILE *error_file) {
    return db_startup_at(quelmo, QUELMO_DB_PREFIX, server_id, error_file);
}

int db_startup_at(QUELMO_DBS *quelmo, const char *prefix, char *server_id, FILE *error_file) {
    if (quelmo == nullptr || prefix == nullptr || server_id == nullptr) return EINVAL;
    quelmo->extension_dbp = nullptr;
    quelmo->forwarding_dbp = nullptr;
    quelmo->extension_db_name = make_file_name(prefix, server_id, QUELMO_DB_EXTENSION_SUFFIX);
    quelmo->forwarding_db_name = make_file_name(prefix, server_id, QUELMO_DB_FORWARDING_SUFFIX);
    quelmo->error_file = error_file;
    if (quelmo->extension_db_name == nullptr || quelmo->forwarding_db_name == nullptr) {
        release_failed_set(quelmo);
        return ENOMEM;
    }
    int status = db_open(server_id, &quelmo->extension_dbp, DB_HASH, quelmo->extension_db_name,
                         "", error_file);
    if (status != 0) {
        write_error(error_file, "Open %s Failed", quelmo->extension_db_name);
        release_failed_set(quelmo);
        return status;
    }
    status = db_open(server_id, &quelmo->forwarding_dbp, DB_BTREE, quelmo->forwarding_db_name,
                     "", error_file);
    if (status != 0) {
        write_error(error_file, "Open %s Failed", quelmo->forwarding_db_name);
        release_failed_set(quelmo);
        return status;
    }
    return 0;
}

int db_shutdown(QUELMO_DBS *quelmo) {
    if (quelmo == nullptr) return EINVAL;
    int status = db_close(quelmo->extension_dbp, quelmo->extension_db_name, quelmo->error_file);
    if (status != 0) write_error(quelmo->error_file, "Close %s Failed", quelmo->extension_db_name);
    status = db_close(quelmo->forwarding_dbp, quelmo->forwarding_db_name, quelmo->error_file);
    if (status != 0) write_error(quelmo->error_file, "Close %s Failed", quelmo->forwarding_db_name);
    clear_set(quelmo);
    return status;
}

int db_open(char *server_id, DB **dbpp, int db_type, const char *filename,
            const char *program_name, FILE *error_file) {
    if (dbpp == nullptr || filename == nullptr) return EINVAL;
    return open_handle(server_id, dbpp, db_type, 0, READ_ONLY_FLAGS, 0, filename, program_name,
                       error_file);
}

int db_create_file(char *server_id, DB **dbpp, int db_type, u_int32_t db_flags,
                   const char *filename, const char *program_name, FILE *error_file) {
    if (dbpp == nullptr || filename == nullptr) return EINVAL;
    return open_handle(server_id, dbpp, db_type, db_flags, DB_CREATE | DB_EXCL, NEW_FILE_MODE,
                       filename, program_name, error_file);
}

int db_close(DB *dbp, const char *filename, FILE *error_file) {
    if (dbp == nullptr) return 0;
    int status = dbp->close(dbp, 0);
    if (status != 0)
        write_error(error_file, "%s database close failed: %s\n",
                    filename != nullptr ? filename : "", db_strerror(status));
    return status;
}

int db_lookup_extension(QUELMO_DBS *quelmo, int extension_key, EXTENSION_INFO **return_extension) {
    if (quelmo == nullptr || quelmo->extension_dbp == nullptr || return_extension == nullptr)
        return EINVAL;
    DB *dbp = quelmo->extension_dbp;
    unsigned char key_bytes[INT_BYTES];
    DBT key = make_key(extension_key, key_bytes);
    DBT item = make_library_item();
    int status = dbp->get(dbp, nullptr, &key, &item, 0);
    if (status != 0) {
        dbp->err(dbp, status, "Extension = %d", extension_key);
        free(item.data);
        return status;
    }
    const char *name;
    const char *number;
    if (!split_texts(item.data, item.size, 0, &name, &number)) {
        write_error(quelmo->error_file, "Malformed item for %d\n", extension_key);
        free(item.data);
        return DB_NOTFOUND;
    }
    EXTENSION_INFO *record = make_extension(name, number);
    free(item.data);
    if (record == nullptr) return ENOMEM;
    write_error(quelmo->error_file, "Extension = %d: cidname(%s) cidnum(%s)\n", extension_key,
                record->cidname != nullptr ? record->cidname : "NULL",
                record->cidnum != nullptr ? record->cidnum : "NULL");
    *return_extension = record;
    return 0;
}

int db_lookup_forwarding_rules(QUELMO_DBS *quelmo, int extension_key,
                               FORWARDING_LIST **forwarding_rules) {
    if (forwarding_rules == nullptr) return EINVAL;
    *forwarding_rules = nullptr;
    if (quelmo == nullptr || quelmo->forwarding_dbp == nullptr) return EINVAL;
    DB *dbp = quelmo->forwarding_dbp;
    DBC *cursor = nullptr;
    int status = dbp->cursor(dbp, nullptr, &cursor, 0);
    if (status != 0) {
        write_error(quelmo->error_file, "Forwarding Rules for %d not found.\n", extension_key);
        return status;
    }
    unsigned char key_bytes[INT_BYTES];
    DBT key = make_key(extension_key, key_bytes);
    DBT item = make_library_item();
    RuleList list;
    status = cursor->c_get(cursor, &key, &item, DB_SET);
    if (status != 0) {
        write_error(quelmo->error_file, "Forwarding Rules for %d not found.\n", extension_key);
        free(item.data);
    } else {
        status = collect_rules(quelmo, cursor, extension_key, item, &list);
    }
    cursor->c_close(cursor);
    if (status == 0 && list.head == nullptr) status = DB_NOTFOUND; /* every item malformed */
    if (status != 0) {
        free_rule_list(list.head);
        return status;
    }
    *forwarding_rules = list.head;
    return 0;
}

void db_free_extension(EXTENSION_INFO *record) {
    if (record != nullptr) free_extension(record);
}

void db_free_forwarding_rules(FORWARDING_LIST *rules) { free_rule_list(rules); }

int db_insert_extension(QUELMO_DBS *quelmo, EXTENSION_INFO *extension) {
    if (quelmo == nullptr) return EINVAL;
    if (quelmo->extension_dbp == nullptr || extension == nullptr ||
        extension->extension == nullptr) {
        write_error(quelmo->error_file, "Insert failed\n");
        return EINVAL;
    }
    const char *name = extension->cidname != nullptr ? extension->cidname : "";
    const char *number = extension->cidnum != nullptr ? extension->cidnum : "";
    size_t name_size = strlen(name) + 1;
    size_t size = name_size + strlen(number) + 1;
    char *bytes = static_cast<char *>(malloc(size));
    if (bytes == nullptr) {
        write_error(quelmo->error_file, "Insert failed\n");
        return ENOMEM;
    }
    memcpy(bytes, name, name_size);
    memcpy(bytes + name_size, number, size - name_size);
    int status = put_item(quelmo->extension_dbp, quelmo->error_file, atoi(extension->extension),
                          bytes, size, DB_NOOVERWRITE);
    free(bytes);
    return status;
}

int db_append_forwarding_rule(QUELMO_DBS *quelmo, int extension_key, FORWARDING_INFO *rule) {
    if (quelmo == nullptr) return EINVAL;
    /* Without duplicates a put would replace the key's earlier rule instead of following it. */
    if (quelmo->forwarding_dbp == nullptr || rule == nullptr || rule->app == nullptr ||
        rule->args == nullptr || !has_duplicates(quelmo->forwarding_dbp)) {
        write_error(quelmo->error_file, "Insert failed\n");
        return EINVAL;
    }
    size_t app_size = strlen(rule->app) + 1;
    size_t size = INT_BYTES + app_size + strlen(rule->args) + 1;
    unsigned char *bytes = static_cast<unsigned char *>(malloc(size));
    if (bytes == nullptr) {
        write_error(quelmo->error_file, "Insert failed\n");
        return ENOMEM;
    }
    encode_int(rule->priority, bytes);
    memcpy(bytes + INT_BYTES, rule->app, app_size);
    memcpy(bytes + INT_BYTES + app_size, rule->args, size - INT_BYTES - app_size);
    /* Flags 0 on unsorted duplicates: the item goes after the key's existing ones. */
    int status = put_item(quelmo->forwarding_dbp, quelmo->error_file, extension_key, bytes, size, 0);
    free(bytes);
    return status;
}

int db_list_keys(DB *dbp, int **keys, size_t *count) {
    if (dbp == nullptr || keys == nullptr || count == nullptr) return EINVAL;
    DBC *cursor = nullptr;
    int status = dbp->cursor(dbp, nullptr, &cursor, 0);
    if (status != 0) return status;
    int *found = nullptr;
    size_t found_count = 0, capacity = 0;
    for (;;) {
        unsigned char key_bytes[INT_BYTES];
        DBT key = make_key_buffer(key_bytes);
        DBT item = make_library_item();
        status = cursor->c_get(cursor, &key, &item, DB_NEXT);
        free(item.data);
        if (status == DB_BUFFER_SMALL || (status == 0 && key.size != INT_BYTES)) status = EINVAL;
        if (status == 0 && !push_key(&found, &found_count, &capacity, decode_int(key_bytes)))
            status = ENOMEM;
        if (status != 0) break;
    }
    cursor->c_close(cursor);
    if (status != DB_NOTFOUND) {
        free(found);
        return status;
    }
    *keys = found;
    *count = found_count;
    return 0;
}

int db_upgrade_file(char *server_id, const char *filename, const char *program_name,
                    FILE *error_file) {
    if (filename == nullptr) return EINVAL;
    DB *dbp = nullptr;
    int status = prepare_handle(server_id, &dbp, filename, program_name, error_file);
    if (status == 0) {
        status = dbp->upgrade(dbp, filename, 0);
        if (status != 0) dbp->err(dbp, status, "Database '%s' upgrade failed.", filename);
    }
    /* A handle that has run upgrade is only closed; its status adds nothing to report. */
    if (dbp != nullptr) dbp->close(dbp, 0);
    return status;
}
