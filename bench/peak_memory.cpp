#include "peak_memory.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tessuvan_bench {

long OwnPeakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            std::istringstream fields(line.substr(6));
            long kib = 0;
            fields >> kib;
            return kib;
        }
    }
    return 0;
}

long PeakResidentKiBOf(const std::string& name)
{
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return -1;
    self[length] = '\0';
    const std::string command = std::string("'") + self + "' --run-workload '" + name + "'";
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) return -1;
    long kib = -1;
    char line[256];
    while (std::fgets(line, sizeof line, child) != nullptr) {
        long value = 0;
        if (std::sscanf(line, "VmHWM %ld", &value) == 1) kib = value;
    }
    if (::pclose(child) != 0) return -1;
    return kib;
}

}  // namespace tessuvan_bench
