// Runs a harness's entry point over stored inputs, without libFuzzer: every
// file named, and every file in every directory named (in name order). A
// finding stops the process, as it would stop the fuzzer; a path that cannot
// be read fails the run.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool RunFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that reads past its end are caught.
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
    return true;
}

bool RunPath(const std::string& path, int& count) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "replay: no such path %s\n", path.c_str());
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        ++count;
        return RunFile(path);
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        fprintf(stderr, "replay: cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    bool ok = true;
    for (const std::string& name : names) {
        ok = RunPath(path + "/" + name, count) && ok;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    int count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        ok = RunPath(argv[i], count) && ok;
    }
    printf("replay: %d inputs run\n", count);
    return ok ? 0 : 1;
}
