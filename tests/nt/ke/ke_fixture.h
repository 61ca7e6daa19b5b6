// A started kernel with the test's thread inside it, and system threads running lambdas.
#pragma once

#include <wdm.h>
#include <nt/kernel.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace ketest {

constexpr LONGLONG kMs = 10000; // 100-ns units per millisecond

inline LARGE_INTEGER Relative(LONGLONG units) {
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

// Starts a system thread running `body`; Join() waits for it on its thread object.
class SystemThread {
public:
    explicit SystemThread(std::function<void()> body) : body_(std::move(body)) {
        EXPECT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle_, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                       &SystemThread::Start, this));
        EXPECT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle_, SYNCHRONIZE, *PsThreadType, KernelMode,
                                                            reinterpret_cast<PVOID*>(&thread_), nullptr));
    }
    ~SystemThread() { Join(); }
    PETHREAD Thread() const { return thread_; }
    void Join() {
        if (!thread_)
            return;
        EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr));
        ObDereferenceObject(thread_);
        ZwClose(handle_);
        thread_ = nullptr;
    }

private:
    static VOID Start(PVOID self) { static_cast<SystemThread*>(self)->body_(); }
    std::function<void()> body_;
    HANDLE handle_ = nullptr;
    PETHREAD thread_ = nullptr;
};

// A kernel in virtual time with the test's thread entered as a machine thread.
class KeTest : public ::testing::Test {
protected:
    explicit KeTest(unsigned processors = 2) {
        nt::KernelConfig config;
        config.processors = processors;
        kernel_ = std::make_unique<nt::Kernel>(config);
        kernel_->Start();
        scope_.emplace(*kernel_);
    }
    ~KeTest() override {
        scope_.reset();
        kernel_->Stop();
    }
    void Sleep(LONGLONG units) {
        LARGE_INTEGER t = Relative(units);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    nt::Kernel& Kernel() { return *kernel_; }

    std::unique_ptr<nt::Kernel> kernel_;
    std::optional<nt::MachineThreadScope> scope_;
};

} // namespace ketest
