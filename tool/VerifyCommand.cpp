#include "tool/VerifyCommand.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>

#include "Engine/Archive.h"
#include "Engine/ArchiveVerifier.h"
#include "tool/ProgressLine.h"

namespace tool {

bool VerifyArchive(GAME::Archive& archive, const char* archivePath) {
    GAME::ArchiveVerifier verifier(archive.GetFileHandle());
    if (verifier.CheckIndex()) {
        std::atomic<std::uint64_t> done{0};
        ProgressLine progress("verifying", verifier.BytesToRead());
        std::future<void> checked = std::async(std::launch::async, [&] { verifier.CheckContents(0, &done); });
        while (checked.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) progress.Update(done);
        checked.get();
    }
    const GAME::Verification& result = verifier.Result();
    for (const GAME::DamagedRecord& damaged : result.damaged) {
        if (damaged.name.empty())
            std::fprintf(stderr, "record %u: damaged, %s.\n", damaged.record + 1, GAME::DamageText(damaged.damage));
        else
            std::fprintf(stderr, "file: %s damaged, %s.\n", damaged.name.c_str(), GAME::DamageText(damaged.damage));
    }
    if (result.index != GAME::IndexDamage::none)
        std::fprintf(stderr, "Archive file %s is damaged: %s.\n", archivePath, GAME::IndexDamageText(result.index));
    const bool sound = result.damaged.empty() && result.index == GAME::IndexDamage::none;
    std::printf("%llu files checked, %llu bytes, %llu damaged%s.\n", static_cast<unsigned long long>(result.files),
                static_cast<unsigned long long>(result.bytes), static_cast<unsigned long long>(result.damaged.size()),
                sound ? "" : " (see above)");
    return sound;
}

}  // namespace tool
