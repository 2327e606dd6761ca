#include "TestSupport.h"

#include <atomic>
#include <fstream>
#include <sstream>

namespace test {

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> counter{0};
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "brannock-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-";
    name += info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "global";
    name += "-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
            std::to_string(counter++);
    path = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace test
