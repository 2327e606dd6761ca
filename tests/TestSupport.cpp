#include "TestSupport.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#undef SetEnvironmentVariable  // the macro would rename platform::SetEnvironmentVariable
#endif

#include "platform/File.h"
#include "platform/Process.h"

namespace test {

ScratchDir::ScratchDir() {
    // A death test that re-runs the program (as on Windows) runs the test again up to its
    // statement in the child: the child's folders are the parent's, found by their order in the
    // test, so that what the statement writes is where the parent looks.
    static const testing::TestInfo* test = nullptr;
    static unsigned ordinal = 0;
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    if (info != test) {
        test = info;
        ordinal = 0;
    }
    const std::string variable = "BRANNOCK_TEST_SCRATCH_" + std::to_string(ordinal++);
    if (testing::internal::InDeathTestChild()) {
        if (const char* parents = std::getenv(variable.c_str())) {
            path = parents;
            borrowed = true;
            return;
        }
    }
    static std::atomic<unsigned> counter{0};
    std::string name = "brannock-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-";
    name += info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "global";
    name += "-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
            std::to_string(counter++);
    path = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path);
    platform::SetEnvironmentVariable(variable.c_str(), path.string().c_str());
}

ScratchDir::~ScratchDir() {
    if (borrowed) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool MakeLink(const std::string& target, const std::string& link) {
#ifdef _WIN32
    // libstdc++ makes no links on Windows; the system call, without privilege where developer
    // mode allows it. A link to a folder must say so.
    std::filesystem::path resolved = target;
    if (resolved.is_relative()) resolved = std::filesystem::path(link).parent_path() / resolved;
    std::error_code ignored;
    DWORD flags = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (std::filesystem::is_directory(resolved, ignored)) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    ::CreateSymbolicLinkA(link.c_str(), target.c_str(), flags);
    // Some systems claim success and make nothing: the link must be there.
    const DWORD attributes = ::GetFileAttributesA(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
    std::filesystem::create_symlink(target, link);
    return true;
#endif
}

bool NamesDifferingInCaseCoexist(const std::filesystem::path& folder) {
    const std::filesystem::path lower = folder / "case-probe", upper = folder / "CASE-PROBE";
    WriteWholeFile(lower.string(), "");
    const bool apart = !std::filesystem::exists(upper);
    std::filesystem::remove(lower);
    return apart;
}

void ResizeFile(const std::string& path, std::uint64_t length) {
    const platform::UniqueFile file(platform::OpenFileForEdit(path.c_str()));
    ASSERT_TRUE(file) << path;
#ifdef _WIN32
    // NTFS gives a file all the clusters of its length unless it is sparse.
    DWORD unused = 0;
    ::DeviceIoControl(reinterpret_cast<HANDLE>(file.Get()), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
#endif
    ASSERT_TRUE(platform::SetFilePosition(file.Get(), length)) << path;
    ASSERT_TRUE(platform::SetEndOfFile(file.Get())) << path;
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
