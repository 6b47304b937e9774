/* Fuzz target: the decoders of stored items, run on real databases. The input's first
 * byte picks the database (even: a caller-ID item, odd: forwarding items); the rest is
 * the item, or a run of items each led by its length byte. They are stored under one key
 * with the library's own put, as a damaged or foreign file could hold them, and read back
 * through the lookups the dispatcher uses. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "quelmo-db.h"

namespace {

/* The key every item is stored under; stored as 4 little-endian bytes. */
const int kKey = 1;
char kServerId[] = "fuzzitems";

QUELMO_DBS &databases();

void close_databases() {
    db_close(databases().extension_dbp, "items", nullptr);
    db_close(databases().forwarding_dbp, "items fw", nullptr);
}

/* The two databases, created once per process below the scratch directory and closed
 * when it exits. */
QUELMO_DBS &databases() {
    static QUELMO_DBS set = [] {
        QUELMO_DBS made = {nullptr, nullptr, nullptr, nullptr, quelmo_fuzz::null_stream()};
        std::string prefix = quelmo_fuzz::scratch_dir() + "/items";
        if (db_create_file(kServerId, &made.extension_dbp, DB_HASH, 0, (prefix + ".db").c_str(),
                           "fuzz", made.error_file) != 0 ||
            db_create_file(kServerId, &made.forwarding_dbp, DB_BTREE, DB_DUP,
                           (prefix + "fw.db").c_str(), "fuzz", made.error_file) != 0)
            quelmo_fuzz::fail("cannot create the item databases");
        atexit(close_databases);
        return made;
    }();
    return set;
}

/* Stores bytes under the key with the library's put (flags 0: replace, or append a
 * duplicate). */
void put_raw(DB *dbp, const uint8_t *bytes, size_t size) {
    unsigned char key_bytes[4] = {kKey, 0, 0, 0};
    DBT key, item;
    memset(&key, 0, sizeof(key));
    memset(&item, 0, sizeof(item));
    key.data = key_bytes;
    key.size = sizeof(key_bytes);
    item.data = const_cast<uint8_t *>(bytes);
    item.size = static_cast<u_int32_t>(size);
    if (dbp->put(dbp, nullptr, &key, &item, 0) != 0) quelmo_fuzz::fail("cannot store an item");
}

void delete_key(DB *dbp) {
    unsigned char key_bytes[4] = {kKey, 0, 0, 0};
    DBT key;
    memset(&key, 0, sizeof(key));
    key.data = key_bytes;
    key.size = sizeof(key_bytes);
    dbp->del(dbp, nullptr, &key, 0);
}

void decode_caller_id(QUELMO_DBS *set, const uint8_t *bytes, size_t size) {
    put_raw(set->extension_dbp, bytes, size);
    EXTENSION_INFO *record = nullptr;
    if (db_lookup_extension(set, kKey, &record) != 0) return;
    if ((record->cidname != nullptr && record->cidname[0] == '\0') ||
        (record->cidnum != nullptr && record->cidnum[0] == '\0'))
        quelmo_fuzz::fail("an empty caller-ID text not handed back as null");
    db_free_extension(record);
}

void decode_rules(QUELMO_DBS *set, const uint8_t *bytes, size_t size) {
    delete_key(set->forwarding_dbp);
    size_t at = 0;
    while (at < size) {
        size_t length = bytes[at++];
        if (length > size - at) length = size - at;
        put_raw(set->forwarding_dbp, bytes + at, length);
        at += length;
    }
    FORWARDING_LIST *rules = nullptr;
    int status = db_lookup_forwarding_rules(set, kKey, &rules);
    if ((status == 0) != (rules != nullptr)) quelmo_fuzz::fail("status and rule list disagree");
    for (FORWARDING_LIST *node = rules; node != nullptr;
         node = static_cast<FORWARDING_LIST *>(node->next))
        if (node->dial_plan == nullptr || node->dial_plan->app == nullptr ||
            node->dial_plan->args == nullptr)
            quelmo_fuzz::fail("a rule without its texts");
    db_free_forwarding_rules(rules);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quelmo_fuzz::quiet_process();
    if (size == 0) return 0;
    QUELMO_DBS &set = databases();
    if (data[0] % 2 == 0)
        decode_caller_id(&set, data + 1, size - 1);
    else
        decode_rules(&set, data + 1, size - 1);
    return 0;
}
