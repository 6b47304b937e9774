/* Tests of the store on real encrypted files at the server's database prefix under the
 * test root: stored bytes, lookups and their error-stream lines, start-up failures, the
 * insert refusal and malformed items. Each test uses server identifiers of its own. */
#include "quelmo-db.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quelmo-paths.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

std::string extension_path(const std::string &id) { return QUELMO_DB_PREFIX + id + ".db"; }
std::string forwarding_path(const std::string &id) { return QUELMO_DB_PREFIX + id + "fw.db"; }

std::string bytes(const char *data, size_t size) { return std::string(data, size); }

std::string little_endian(int value) {
    unsigned bits = static_cast<unsigned>(value);
    std::string out;
    for (int i = 0; i < 4; i++) out += static_cast<char>(bits >> (8 * i) & 0xff);
    return out;
}

class QuelmoDb : public ::testing::Test {
   protected:
    void SetUp() override {
        errors_path_ = scratch_dir() + "/errors.log";
        errors_ = fopen(errors_path_.c_str(), "w+");
        ASSERT_NE(nullptr, errors_);
        make_dirs(QUELMO_DB_DIR);
    }
    void TearDown() override { fclose(errors_); }
    /* Everything written to the error stream so far; clears it. */
    std::string take_errors() {
        fflush(errors_);
        std::string text = read_file(errors_path_);
        if (ftruncate(fileno(errors_), 0) != 0) ADD_FAILURE() << "cannot clear the error stream";
        rewind(errors_);
        return text;
    }
    /* New empty writable databases at the server's file names for id. */
    QUELMO_DBS create_set(const std::string &id) {
        remove_file(extension_path(id));
        remove_file(forwarding_path(id));
        QUELMO_DBS set = {nullptr, nullptr, nullptr, nullptr, errors_};
        char *sid = const_cast<char *>(id.c_str());
        EXPECT_EQ(0, db_create_file(sid, &set.extension_dbp, DB_HASH, 0,
                                    extension_path(id).c_str(), "", errors_));
        EXPECT_EQ(0, db_create_file(sid, &set.forwarding_dbp, DB_BTREE, DB_DUP,
                                    forwarding_path(id).c_str(), "", errors_));
        return set;
    }
    void close_set(QUELMO_DBS *set) {
        EXPECT_EQ(0, db_close(set->extension_dbp, "", errors_));
        EXPECT_EQ(0, db_close(set->forwarding_dbp, "", errors_));
    }
    void insert(QUELMO_DBS *set, const char *extension, const char *name, const char *number) {
        EXTENSION_INFO info = {const_cast<char *>(extension), const_cast<char *>(name),
                               const_cast<char *>(number)};
        ASSERT_EQ(0, db_insert_extension(set, &info));
    }
    void append(QUELMO_DBS *set, int key, int priority, const char *app, const char *args) {
        FORWARDING_INFO rule = {priority, const_cast<char *>(app), const_cast<char *>(args)};
        ASSERT_EQ(0, db_append_forwarding_rule(set, key, &rule));
    }
    /* Stores an item as given, bypassing the store's writers. */
    void put_raw(DB *dbp, int key, const std::string &data) {
        std::string key_bytes = little_endian(key);
        DBT k, d;
        memset(&k, 0, sizeof(k));
        memset(&d, 0, sizeof(d));
        k.data = const_cast<char *>(key_bytes.data());
        k.size = key_bytes.size();
        d.data = const_cast<char *>(data.data());
        d.size = data.size();
        ASSERT_EQ(0, dbp->put(dbp, nullptr, &k, &d, 0));
    }
    /* Every data item under the given key bytes, in stored order. */
    std::vector<std::string> raw_items(DB *dbp, const std::string &key_bytes) {
        std::vector<std::string> items;
        DBC *cursor;
        EXPECT_EQ(0, dbp->cursor(dbp, nullptr, &cursor, 0));
        unsigned char returned_key[4];
        DBT k, next_k, d;
        memset(&k, 0, sizeof(k));
        memset(&next_k, 0, sizeof(next_k));
        memset(&d, 0, sizeof(d));
        k.data = const_cast<char *>(key_bytes.data());
        k.size = key_bytes.size();
        next_k.data = returned_key;
        next_k.ulen = sizeof(returned_key);
        next_k.flags = DB_DBT_USERMEM;
        d.flags = DB_DBT_MALLOC;
        for (int status = cursor->c_get(cursor, &k, &d, DB_SET); status == 0;
             status = cursor->c_get(cursor, &next_k, &d, DB_NEXT_DUP)) {
            items.push_back(bytes(static_cast<char *>(d.data), d.size));
            free(d.data);
        }
        cursor->c_close(cursor);
        return items;
    }
    /* Sample data of a server: three unsorted rules for 205, empty texts, a negative key. */
    void fill_sample(QUELMO_DBS *set) {
        insert(set, "205", "Alice", "5550105");
        insert(set, "206", "", "5550106");
        insert(set, "-7", "", "");
        append(set, 205, 3, "Dial", "SIP/205|20,${X}@a/b");
        append(set, 205, 1, "Dial", "Local/5551234567@internal");
        append(set, 205, 2, "Voicemail", "");
        append(set, -7, 9, "Busy", "");
    }
    enum class Broken { MissingExtension, WrongPassword, CorruptExtension, MissingForwarding };
    /* Whole databases for id, then one of them broken as said. */
    void make_broken_set(const std::string &id, Broken how) {
        QUELMO_DBS set = create_set(id);
        close_set(&set);
        if (how == Broken::MissingExtension) remove_file(extension_path(id));
        if (how == Broken::CorruptExtension) write_file(extension_path(id), std::string(8192, 'x'));
        if (how == Broken::MissingForwarding) remove_file(forwarding_path(id));
        if (how == Broken::WrongPassword) { /* a whole database of another server */
            QUELMO_DBS other = create_set(id + "-other");
            close_set(&other);
            write_file(extension_path(id), read_file(extension_path(id + "-other")));
        }
    }
    std::string errors_path_;
    FILE *errors_ = nullptr;
};

void free_extension(EXTENSION_INFO *info) {
    free(info->cidname);
    free(info->cidnum);
    free(info);
}

/* The rules as "priority|app|args" texts; frees the list. */
std::vector<std::string> take_rules(FORWARDING_LIST *node) {
    std::vector<std::string> rules;
    while (node != nullptr) {
        FORWARDING_LIST *next = static_cast<FORWARDING_LIST *>(node->next);
        rules.push_back(std::to_string(node->dial_plan->priority) + "|" + node->dial_plan->app +
                        "|" + node->dial_plan->args);
        free(node->dial_plan->app);
        free(node->dial_plan->args);
        free(node->dial_plan);
        free(node);
        node = next;
    }
    return rules;
}

TEST_F(QuelmoDb, StoredFormatsAreLittleEndianKeysAndZeroTerminatedTexts) {
    QUELMO_DBS set = create_set("fmt");
    fill_sample(&set);
    close_set(&set);
    ASSERT_EQ(0, db_startup(&set, const_cast<char *>("fmt"), errors_));
    EXPECT_EQ(std::vector<std::string>{bytes("Alice\0" "5550105\0", 14)},
              raw_items(set.extension_dbp, bytes("\xcd\0\0\0", 4)));
    EXPECT_EQ(std::vector<std::string>{bytes("\0\0", 2)},
              raw_items(set.extension_dbp, bytes("\xf9\xff\xff\xff", 4)));
    EXPECT_EQ((std::vector<std::string>{
                  bytes("\3\0\0\0Dial\0SIP/205|20,${X}@a/b\0", 29),
                  bytes("\1\0\0\0Dial\0Local/5551234567@internal\0", 35),
                  bytes("\2\0\0\0Voicemail\0\0", 15)}),
              raw_items(set.forwarding_dbp, bytes("\xcd\0\0\0", 4)));
    int *keys = nullptr;
    size_t count = 0;
    ASSERT_EQ(0, db_list_keys(set.forwarding_dbp, &keys, &count));
    EXPECT_EQ((std::vector<int>{205, 205, 205, -7}), std::vector<int>(keys, keys + count));
    free(keys);
    EXPECT_EQ(0, db_shutdown(&set));
}

TEST_F(QuelmoDb, LookupsReturnRecordsInStoredOrderAndWriteTheirLines) {
    QUELMO_DBS set = create_set("look");
    fill_sample(&set);
    close_set(&set);
    ASSERT_EQ(0, db_startup(&set, const_cast<char *>("look"), errors_));
    take_errors();
    EXTENSION_INFO *info = nullptr;
    ASSERT_EQ(0, db_lookup_extension(&set, 205, &info));
    EXPECT_EQ(nullptr, info->extension);
    EXPECT_STREQ("Alice", info->cidname);
    EXPECT_STREQ("5550105", info->cidnum);
    free_extension(info);
    ASSERT_EQ(0, db_lookup_extension(&set, 206, &info));
    EXPECT_EQ(nullptr, info->cidname);
    EXPECT_STREQ("5550106", info->cidnum);
    free_extension(info);
    ASSERT_EQ(0, db_lookup_extension(&set, -7, &info));
    EXPECT_EQ(nullptr, info->cidname);
    EXPECT_EQ(nullptr, info->cidnum);
    free_extension(info);
    EXPECT_EQ("Extension = 205: cidname(Alice) cidnum(5550105)\n"
              "Extension = 206: cidname(NULL) cidnum(5550106)\n"
              "Extension = -7: cidname(NULL) cidnum(NULL)\n",
              take_errors());

    FORWARDING_LIST *rules = nullptr;
    ASSERT_EQ(0, db_lookup_forwarding_rules(&set, 205, &rules));
    EXPECT_EQ((std::vector<std::string>{"3|Dial|SIP/205|20,${X}@a/b",
                                        "1|Dial|Local/5551234567@internal", "2|Voicemail|"}),
              take_rules(rules));
    EXPECT_EQ("Extension = 205 3|Dial|SIP/205|20,${X}@a/b\n"
              "Extension = 205 1|Dial|Local/5551234567@internal\n"
              "Extension = 205 2|Voicemail|\n",
              take_errors());
    ASSERT_EQ(0, db_lookup_forwarding_rules(&set, -7, &rules));
    EXPECT_EQ(std::vector<std::string>{"9|Busy|"}, take_rules(rules));
    take_errors();

    EXTENSION_INFO sentinel;
    info = &sentinel;
    EXPECT_EQ(DB_NOTFOUND, db_lookup_extension(&set, 999, &info));
    EXPECT_EQ(&sentinel, info);
    EXPECT_NE(std::string::npos, take_errors().find(": Extension = 999: "));
    rules = reinterpret_cast<FORWARDING_LIST *>(&sentinel);
    EXPECT_EQ(DB_NOTFOUND, db_lookup_forwarding_rules(&set, 206, &rules));
    EXPECT_EQ(nullptr, rules);
    EXPECT_EQ("Forwarding Rules for 206 not found.\n", take_errors());
    EXPECT_EQ(0, db_shutdown(&set));
}

TEST_F(QuelmoDb, StartupNamesFilesAfterTheServerAndShutsDownCleanly) {
    for (std::string id : {"S1", ""}) {
        QUELMO_DBS set = create_set(id);
        close_set(&set);
        int fds = count_open_fds();
        ASSERT_EQ(0, db_startup(&set, const_cast<char *>(id.c_str()), errors_)) << id;
        EXPECT_EQ(extension_path(id), set.extension_db_name);
        EXPECT_EQ(forwarding_path(id), set.forwarding_db_name);
        EXPECT_EQ(errors_, set.error_file);
        EXPECT_EQ(0, db_shutdown(&set));
        EXPECT_EQ(nullptr, set.extension_db_name);
        EXPECT_EQ(fds, count_open_fds());
    }
    EXPECT_EQ("", take_errors());
}

TEST_F(QuelmoDb, FailedStartupReportsAndReleasesEverything) {
    struct Case {
        const char *id;
        Broken how;
        int status;
        bool forwarding_fails;
    } cases[] = {
        {"nofile", Broken::MissingExtension, ENOENT, false},
        {"wrongpw", Broken::WrongPassword, EINVAL, false},
        {"corrupt", Broken::CorruptExtension, EINVAL, false},
        {"nofw", Broken::MissingForwarding, ENOENT, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        make_broken_set(c.id, c.how);
        for (FILE *stream : {errors_, static_cast<FILE *>(nullptr)}) {
            take_errors();
            int fds = count_open_fds();
            QUELMO_DBS set;
            memset(&set, 0xff, sizeof(set));
            EXPECT_EQ(c.status, db_startup(&set, const_cast<char *>(c.id), stream));
            EXPECT_EQ(nullptr, set.extension_dbp);
            EXPECT_EQ(nullptr, set.forwarding_dbp);
            EXPECT_EQ(nullptr, set.extension_db_name);
            EXPECT_EQ(nullptr, set.forwarding_db_name);
            EXPECT_EQ(fds, count_open_fds());
            std::string text = take_errors();
            if (stream == nullptr) {
                EXPECT_EQ("", text);
                continue;
            }
            std::string failed = c.forwarding_fails ? forwarding_path(c.id) : extension_path(c.id);
            EXPECT_NE(std::string::npos, text.find(": Database '" + failed + "' open failed.: "))
                << text;
            std::string tail = "\nOpen " + failed + " Failed";
            ASSERT_GE(text.size(), tail.size()) << text;
            EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
            if (!c.forwarding_fails) {
                EXPECT_EQ(std::string::npos, text.find("fw.db")) << text;
            }
        }
    }
}

TEST_F(QuelmoDb, InsertNeverReplacesAndReadOnlySetRefuses) {
    QUELMO_DBS set = create_set("ins");
    insert(&set, "205", "Alice", "1");
    take_errors();
    EXTENSION_INFO again = {const_cast<char *>("205"), const_cast<char *>("Mallory"),
                            const_cast<char *>("2")};
    EXPECT_EQ(DB_KEYEXIST, db_insert_extension(&set, &again));
    EXPECT_EQ("Insert failed\n", take_errors());
    EXTENSION_INFO no_digits = {const_cast<char *>("main"), const_cast<char *>("PBX"),
                                const_cast<char *>("5550100")};
    EXPECT_EQ(0, db_insert_extension(&set, &no_digits));
    EXTENSION_INFO *info = nullptr;
    ASSERT_EQ(0, db_lookup_extension(&set, 205, &info));
    EXPECT_STREQ("Alice", info->cidname);
    free_extension(info);
    ASSERT_EQ(0, db_lookup_extension(&set, 0, &info));
    EXPECT_STREQ("PBX", info->cidname);
    free_extension(info);
    close_set(&set);

    ASSERT_EQ(0, db_startup(&set, const_cast<char *>("ins"), errors_));
    take_errors();
    EXTENSION_INFO fresh = {const_cast<char *>("300"), const_cast<char *>("C"),
                            const_cast<char *>("3")};
    EXPECT_NE(0, db_insert_extension(&set, &fresh));
    std::string text = take_errors();
    EXPECT_EQ("Insert failed\n", text.substr(text.size() - 14));
    set.error_file = nullptr; /* without a stream the refusal is the same */
    EXPECT_NE(0, db_insert_extension(&set, &fresh));
    set.error_file = errors_;
    EXPECT_EQ(0, db_shutdown(&set));
}

TEST_F(QuelmoDb, MalformedItemsAreSkippedNeverReadPastTheirSize) {
    QUELMO_DBS set = create_set("bad");
    put_raw(set.extension_dbp, 1, "");
    put_raw(set.extension_dbp, 2, "Alice");
    put_raw(set.extension_dbp, 3, bytes("Alice\0" "555", 9));
    put_raw(set.forwarding_dbp, 5, bytes("\1\0\0", 3));
    put_raw(set.forwarding_dbp, 5, bytes("\1\0\0\0Dial", 8));
    put_raw(set.forwarding_dbp, 5, bytes("\2\0\0\0Dial\0x\0", 11));
    put_raw(set.forwarding_dbp, 5, bytes("\3\0\0\0Dial\0x", 10));
    put_raw(set.forwarding_dbp, 6, bytes("\3\0\0\0Dial\0x", 10));
    close_set(&set);
    for (FILE *stream : {errors_, static_cast<FILE *>(nullptr)}) {
        ASSERT_EQ(0, db_startup(&set, const_cast<char *>("bad"), stream));
        take_errors();
        for (int key : {1, 2, 3}) {
            EXTENSION_INFO sentinel;
            EXTENSION_INFO *info = &sentinel;
            EXPECT_EQ(DB_NOTFOUND, db_lookup_extension(&set, key, &info)) << key;
            EXPECT_EQ(&sentinel, info);
        }
        FORWARDING_LIST *rules = nullptr;
        ASSERT_EQ(0, db_lookup_forwarding_rules(&set, 5, &rules));
        EXPECT_EQ(std::vector<std::string>{"2|Dial|x"}, take_rules(rules));
        EXPECT_EQ(DB_NOTFOUND, db_lookup_forwarding_rules(&set, 6, &rules));
        EXPECT_EQ(nullptr, rules);
        EXPECT_EQ(stream == nullptr ? ""
                                    : "Malformed item for 1\nMalformed item for 2\n"
                                      "Malformed item for 3\nMalformed item for 5\n"
                                      "Malformed item for 5\nExtension = 5 2|Dial|x\n"
                                      "Malformed item for 5\nMalformed item for 6\n",
                  take_errors());
        EXPECT_EQ(0, db_shutdown(&set));
    }
}

TEST_F(QuelmoDb, AppendRefusesADatabaseWithoutDuplicates) {
    QUELMO_DBS set = create_set("nodup");
    ASSERT_EQ(0, db_close(set.forwarding_dbp, "", errors_));
    remove_file(forwarding_path("nodup"));
    ASSERT_EQ(0, db_create_file(const_cast<char *>("nodup"), &set.forwarding_dbp, DB_BTREE, 0,
                                forwarding_path("nodup").c_str(), "", errors_));
    take_errors();
    FORWARDING_INFO rule = {1, const_cast<char *>("Dial"), const_cast<char *>("x")};
    EXPECT_EQ(EINVAL, db_append_forwarding_rule(&set, 5, &rule));
    EXPECT_EQ("Insert failed\n", take_errors());
    close_set(&set);
}

}  // namespace
