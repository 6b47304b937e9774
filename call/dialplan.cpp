/* dialplan: device lookup in the PBX's dial-plan files and the external-number class.
 * Every lookup opens, locks (shared) and scans its file afresh; nothing is cached, so
 * lookups from many threads share nothing but the debug log. */
#include "dialplan.h"

#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "quelmo-utils.h"

namespace {

/* One read of the file: at most 1023 characters, up to and including a line break. A
 * longer line is examined piece by piece. */
const int kLineBufferSize = 1024;

/* Tried in this order; the first that occurs after the key wins, wherever it stands. */
const char *const kDeviceMarkers[] = {"SIP", "Zap", "/dev/null"};

const char *find_first_marker(const char *from) {
    for (const char *marker : kDeviceMarkers) {
        const char *found = strstr(from, marker);
        if (found != nullptr) return found;
    }
    return nullptr;
}

/* The device text of a line whose key stands at key_at: from the marker on, to the
 * first ',' (Macro lines) or to the end of the line (hint lines). Cuts the line at its
 * line break. Returns false when no marker follows the key. */
bool take_device_after_key(char *key_at, bool cut_at_comma, std::string *device) {
    char *line_break = strchr(key_at, '\n');
    if (line_break != nullptr) *line_break = '\0';
    const char *marker = find_first_marker(key_at);
    if (marker == nullptr) return false;
    size_t length = cut_at_comma ? strcspn(marker, ",") : strlen(marker);
    device->assign(marker, length);
    return true;
}

/* A line holding the Macro key is judged by that key alone; the hint key is tried only
 * on lines without it. */
bool take_device_from_line(char *line, const std::string &macro_key, const std::string &hint_key,
                           std::string *device) {
    char *at = strstr(line, macro_key.c_str());
    if (at != nullptr) return take_device_after_key(at, true, device);
    at = strstr(line, hint_key.c_str());
    if (at != nullptr) return take_device_after_key(at, false, device);
    return false;
}

/* Scans the locked file from its start; returns true and the device text of the first
 * line that gives one. Out of memory counts as nothing found. */
bool scan_for_device(FILE *file, const char *extension, std::string *device) {
    try {
        std::string macro_key = std::string(extension) + ",1,Macro";
        std::string hint_key = std::string(extension) + ",hint";
        char line[kLineBufferSize];
        while (fgets(line, sizeof(line), file) != nullptr) {
            if (take_device_from_line(line, macro_key, hint_key, device)) return true;
        }
    } catch (const std::bad_alloc &) {
    }
    return false;
}

/* Waits for a shared lock; a signal arriving meanwhile does not end the wait. */
int lock_shared(FILE *file) {
    int status;
    do {
        status = flock(fileno(file), LOCK_SH);
    } while (status != 0 && errno == EINTR);
    return status;
}

/* Unlocks and closes the file; failures are logged and change nothing else. */
void unlock_and_close(FILE *file, const char *conf_file) {
    if (flock(fileno(file), LOCK_UN) != 0)
        quelmo_debugf("Cannot unlock %s: %s\n", conf_file, strerror(errno));
    if (fclose(file) != 0) quelmo_debugf("Cannot close %s: %s\n", conf_file, strerror(errno));
}

char *heap_copy(const std::string &text) {
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    if (copy != nullptr) memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

int GetDEVfromConf(char *extension, char *conf_file, char **devname) {
    *devname = nullptr;
    quelmo_debugf("Enter GetDEVfromConf (ext = %s,conf = %s)", extension, conf_file);
    /* Close-on-exec: the server may start a shell for speech while a lookup runs. */
    FILE *file = fopen(conf_file, "re");
    if (file == nullptr) {
        quelmo_debugf("Cannot open %s: %s\n", conf_file, strerror(errno));
        return 0;
    }
    if (lock_shared(file) != 0) {
        quelmo_debugf("Cannot lock %s: %s\n", conf_file, strerror(errno));
        fclose(file);
        return 0;
    }
    std::string device;
    if (scan_for_device(file, extension, &device)) *devname = heap_copy(device);
    unlock_and_close(file, conf_file);
    if (*devname == nullptr) {
        quelmo_debugf("Exit GetDEVfromConf (ext = %s,conf = %s) = NOT FOUND", extension, conf_file);
        return 0;
    }
    quelmo_debugf("Exit GetDEVfromConf (ext = %s,conf = %s) = %s", extension, conf_file, *devname);
    return 1;
}

int IsExternalNumber(char *phonenumber) {
    if (phonenumber == nullptr) return 0;
    if (strlen(phonenumber) > 6) return 1;
    for (const char *special : {"90", "411", "611", "911"}) {
        if (strcmp(phonenumber, special) == 0) return 1;
    }
    return 0;
}
