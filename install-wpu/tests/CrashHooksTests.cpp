#include <windows.h>
#include <dbghelp.h>

#include "install-wpu/CrashHooks.h"

#include <gtest/gtest.h>

namespace {

TEST(CrashHooks, OnlyKindOneIsAFullMemoryDump) {
    for (std::uint32_t kind : {0u, 1u, 2u, 0xFFu, 0x101u}) {
        EXPECT_EQ(kv::crash::minidumpType(kind), static_cast<MINIDUMP_TYPE>(kind == 1 ? 0x127 : 0x175))
            << kind;
    }
}

TEST(CrashHooks, DumpCallbackAnswersByType) {
    constexpr DWORD DumpThread = 0x1234;
    constexpr ULONG Written = ModuleWriteModule | ModuleWriteDataSeg;
    struct Case {
        ULONG callbackType;
        std::uint32_t dumpKind;
        ULONG threadId;    // IncludeThread input
        ULONG moduleFlags; // ModuleWriteFlags on input
        BOOL expected;
        ULONG expectedFlags; // ModuleWriteFlags on output
        const char* why;
    };
    const Case cases[] = {
        {ModuleCallback, 0, 0, Written, TRUE, ModuleWriteModule,
         "kind 0 drops data segments of unreferenced modules"},
        {ModuleCallback, 0, 0, Written | ModuleReferencedByMemory, TRUE, Written | ModuleReferencedByMemory,
         "a module referenced by memory keeps its data segments"},
        {ModuleCallback, 1, 0, Written, TRUE, Written, "a full dump keeps every data segment"},
        {ModuleCallback, 2, 0, Written, TRUE, Written, "only kind 0 drops data segments"},
        {IncludeThreadCallback, 0, DumpThread, 0, FALSE, 0, "the dump thread is left out"},
        {IncludeThreadCallback, 0, DumpThread + 4, 0, TRUE, 0, "every other thread is dumped"},
        {MemoryCallback, 1, 0, 0, TRUE, 0, "memory callbacks continue for a full dump"},
        {MemoryCallback, 0, 0, 0, FALSE, 0, "and stop for a small one"},
        {CancelCallback, 1, 0, 0, FALSE, 0, "a dump is never cancelled"},
        {ThreadCallback, 0, 0, 0, TRUE, 0, "other callbacks agree"},
    };
    for (const Case& row : cases) {
        kv::crash::detail::DumpJob job;
        job.dumpKind = row.dumpKind;
        job.dumpThreadId = DumpThread;
        MINIDUMP_CALLBACK_INPUT input = {};
        input.CallbackType = row.callbackType;
        input.IncludeThread.ThreadId = row.threadId; // 0, as zeroed, in the rows of other callbacks
        MINIDUMP_CALLBACK_OUTPUT output = {};
        output.ModuleWriteFlags = row.moduleFlags;
        EXPECT_EQ(kv::crash::detail::dumpCallback(&job, &input, &output), row.expected) << row.why;
        EXPECT_EQ(output.ModuleWriteFlags, row.expectedFlags) << row.why;
    }
}

} // namespace
