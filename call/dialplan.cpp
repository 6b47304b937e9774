/* dialplan: device lookup in the PBX's dial-plan files and the external-number class.
 * Every lookup opens, locks (shared) and scans its file afresh; nothing is cached, so
 * lookups from many threads share nothing but the debug log. */
#include "dialplan.h"

#include <sys/file.h>

#include <cctype>
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
const char *const kDeviceMarkers[] = {"SIP", "Zap", "/dev/null", "DAHDI", "IAX2"};

/* What ends the device text of a line, by the key it holds: a Macro line's at its first
 * ',', a Gosub line's also at its ')', a hint line's only at the line end. */
const char kMacroDeviceEnd[] = ",";
const char kGosubDeviceEnd[] = ",)";
const char kHintDeviceEnd[] = "";

const char *find_first_marker(const char *from) {
    for (const char *marker : kDeviceMarkers) {
        const char *found = strstr(from, marker);
        if (found != nullptr) return found;
    }
    return nullptr;
}

/* The start of the word holding the marker: the letters and digits in front of it, so a
 * marker inside a longer technology name ("SIP" in "PJSIP/205") hands back the whole
 * name. Never goes back past 'from', so text in front of the key never counts. */
const char *start_of_word(const char *from, const char *marker) {
    while (marker > from && isalnum(static_cast<unsigned char>(marker[-1]))) marker--;
    return marker;
}

/* Cuts the line at its line end: the line feed, and a carriage return in front of it (a
 * file saved with CRLF line ends). A carriage return anywhere else stays in the line. */
void cut_at_line_end(char *from) {
    char *line_break = strchr(from, '\n');
    if (line_break == nullptr) return;
    if (line_break > from && line_break[-1] == '\r') line_break--;
    *line_break = '\0';
}

/* The device text of a line whose key stands at key_at: from the word holding the first
 * marker on, to the first of device_end's characters or to the end of the line. Cuts the
 * line at its line end. Returns false when no marker follows the key. */
bool take_device_after_key(char *key_at, const char *device_end, std::string *device) {
    cut_at_line_end(key_at);
    const char *marker = find_first_marker(key_at);
    if (marker == nullptr) return false;
    const char *start = start_of_word(key_at, marker);
    device->assign(start, strcspn(start, device_end));
    return true;
}

/* Whether c can stand inside an extension: a letter, a digit, or one of the pattern and
 * dialling characters "_*#+". */
bool is_extension_character(char c) {
    return isalnum(static_cast<unsigned char>(c)) || (c != '\0' && strchr("_*#+", c) != nullptr);
}

/* The first place in line where key starts a whole extension: at the line's start or
 * after a character no extension holds (a blank, '>', ';', ...). A key inside a longer
 * extension ("10,hint" in "210,hint") is passed over, so the lookup of 10 never hands
 * back the device of 210. Null when the key starts no whole extension in the line. */
char *find_whole_key(char *line, const std::string &key) {
    for (char *at = strstr(line, key.c_str()); at != nullptr; at = strstr(at + 1, key.c_str())) {
        if (at == line || !is_extension_character(at[-1])) return at;
    }
    return nullptr;
}

/* The dial-plan keys of one extension, tried on each line in this order. */
struct LineKeys {
    std::string macro; /* "EXT,1,Macro": old PBXes call the extension macro */
    std::string gosub; /* "EXT,1,Gosub": current PBXes call it as a subroutine */
    std::string hint;  /* "EXT,hint" */
};

/* A line holding the Macro or the Gosub key is judged by that key alone; the hint key is
 * tried only on lines without either. */
bool take_device_from_line(char *line, const LineKeys &keys, std::string *device) {
    char *at = find_whole_key(line, keys.macro);
    if (at != nullptr) return take_device_after_key(at, kMacroDeviceEnd, device);
    at = find_whole_key(line, keys.gosub);
    if (at != nullptr) return take_device_after_key(at, kGosubDeviceEnd, device);
    at = find_whole_key(line, keys.hint);
    if (at != nullptr) return take_device_after_key(at, kHintDeviceEnd, device);
    return false;
}

/* Scans the locked file from its start; returns true and the device text of the first
 * line that gives one. Out of memory counts as nothing found. */
bool scan_for_device(FILE *file, const char *extension, std::string *device) {
    try {
        LineKeys keys = {std::string(extension) + ",1,Macro", std::string(extension) + ",1,Gosub",
                         std::string(extension) + ",hint"};
        char line[kLineBufferSize];
        while (fgets(line, sizeof(line), file) != nullptr) {
            if (take_device_from_line(line, keys, device)) return true;
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
