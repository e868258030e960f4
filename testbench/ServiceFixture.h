#pragma once

// The fixture of GoogleTest tests of the real service (tests only: the bench programs have no
// GoogleTest).

#include <gtest/gtest.h>

#include "BenchClient.h"
#include "TermSrv.h"

namespace bench
{
// Each test starts and ends with the service stopped, none of its helpers running in any session
// and the simulated Terminal Services as new.
class ServiceFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(service.StopAndWait());
        Clean();
    }
    void TearDown() override
    {
        service.StopAndWait();
        Clean();
    }
    virtual void Clean()
    {
        EndAll(TrayHelper);
        EndAll(ExplorerHelper);
        termsrv::Reset();
    }

    // Starts the service and waits until its shell window shows.
    void StartShell()
    {
        ASSERT_TRUE(service.StartAndWaitForShell()) << "the service did not come up with its window";
        shell = FindShellWindow();
        ASSERT_NE(nullptr, shell);
    }
    // Waits until the shell registered for session notifications, which it does when it finds
    // Terminal Services ready at its start.
    void WaitForRegistration()
    {
        ASSERT_TRUE(WaitUntil([&] { return termsrv::IsRegistered(shell); }, 10000))
            << "the shell never registered for session notifications";
    }

    Service service;
    HWND shell = nullptr;
};
}
