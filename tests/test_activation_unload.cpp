// DllCanUnloadNow in a process of its own, so that no earlier test has created the
// process-wide managers, which live until the process ends.
#include <gtest/gtest.h>

#include <TarvikFoundation/activation.h>
#include <TarvikFoundation/processinfo.h>

namespace {

Platform::IInspectable activate(const wchar_t* name) {
    Platform::IActivationFactory* factory = nullptr;
    EXPECT_EQ(DllGetActivationFactory(name, &factory), Platform::S_OK_);
    return factory ? factory->ActivateInstance() : Platform::IInspectable{};
}

TEST(CanUnloadNow, FollowsTheObjectsThatAreAlive) {
    EXPECT_EQ(DllCanUnloadNow(), Platform::S_OK_) << "objects alive before any activation";
    {
        auto options = activate(L"TarvikFoundation.TRVKConfigOptions");
        EXPECT_EQ(DllCanUnloadNow(), Platform::S_FALSE_);
        auto info = activate(L"TarvikFoundation.ProcessInfo");
        options = {};
        EXPECT_EQ(DllCanUnloadNow(), Platform::S_FALSE_);
        // A copy is an object of its own.
        TarvikFoundation::ProcessInfo copy = *info.as<TarvikFoundation::ProcessInfo>();
        info = {};
        EXPECT_EQ(DllCanUnloadNow(), Platform::S_FALSE_);
    }
    EXPECT_EQ(DllCanUnloadNow(), Platform::S_OK_);

    // A manager's instance stays for the rest of the process.
    activate(L"TarvikFoundation.OrvaneInternal.OrvaneTestManager");
    EXPECT_EQ(DllCanUnloadNow(), Platform::S_FALSE_);
}

}  // namespace
