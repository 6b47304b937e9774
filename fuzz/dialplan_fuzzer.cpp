/* Fuzz target: the device lookup in a dial-plan file. The input's first line is the
 * extension, the rest is the file. A found device is one line of text that holds one of
 * the technology markers the lookup looks for. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dialplan.h"
#include "fuzz_support.h"

namespace {

bool holds_marker(const char *device) {
    for (const char *marker : {"SIP", "Zap", "/dev/null", "DAHDI", "IAX2"})
        if (strstr(device, marker) != nullptr) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quelmo_fuzz::quiet_process();
    static const std::string path = quelmo_fuzz::scratch_dir() + "/dialplan.conf";
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t line_end = input.find('\n');
    std::string extension = input.substr(0, line_end);
    std::string file = line_end == std::string::npos ? "" : input.substr(line_end + 1);
    quelmo_fuzz::write_file(path, file);
    char *device = reinterpret_cast<char *>(1);
    int found = GetDEVfromConf(const_cast<char *>(extension.c_str()), const_cast<char *>(path.c_str()),
                               &device);
    if ((found == 1) != (device != nullptr)) quelmo_fuzz::fail("result and device disagree");
    if (device != nullptr && strchr(device, '\n') != nullptr) quelmo_fuzz::fail("device holds a line feed");
    if (device != nullptr && !holds_marker(device)) quelmo_fuzz::fail("device without a marker");
    free(device);
    IsExternalNumber(const_cast<char *>(extension.c_str()));
    return 0;
}
