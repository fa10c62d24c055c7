#pragma once

#include <windows.h>
#include <taskschd.h>

// Declarations of the Task Scheduler 2.0 SDK that MinGW-w64's <taskschd.h> lacks:
// the weekly and boot trigger interfaces and the HRESULTs above SCHED_E_SERVICE_NOT_RUNNING.
// Each block is guarded like the SDK header, so including both is harmless.

#ifndef __IWeeklyTrigger_INTERFACE_DEFINED__
#define __IWeeklyTrigger_INTERFACE_DEFINED__
MIDL_INTERFACE("5038fc98-82ff-436d-8728-a512a57c9dc1")
IWeeklyTrigger : public ITrigger {
public:
    virtual HRESULT STDMETHODCALLTYPE get_DaysOfWeek(short* pDays) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DaysOfWeek(short days) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WeeksInterval(short* pWeeks) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_WeeksInterval(short weeks) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RandomDelay(BSTR * pRandomDelay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_RandomDelay(BSTR randomDelay) = 0;
};
#endif

#ifndef __IBootTrigger_INTERFACE_DEFINED__
#define __IBootTrigger_INTERFACE_DEFINED__
MIDL_INTERFACE("2a9c35da-d357-41f4-bbc1-207ac1b1f3cb")
IBootTrigger : public ITrigger {
public:
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR * pDelay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
};
#endif

namespace kv::ts20 {

// Interface and class identifiers, spelled out so that no import library is needed.
inline constexpr CLSID kClsidTaskScheduler = {
    0x0f87369f, 0xa4e5, 0x4cfc, {0xbd, 0x3e, 0x73, 0xe6, 0x15, 0x45, 0x72, 0xdd}};
inline constexpr IID kIidTaskService = {
    0x2faba4c7, 0x4da9, 0x4013, {0x96, 0x97, 0x20, 0xcc, 0x3f, 0xd4, 0x0f, 0x85}};
inline constexpr IID kIidTaskFolder = {
    0x8cfac062, 0xa080, 0x4c15, {0x9a, 0x88, 0xaa, 0x7c, 0x2a, 0xf8, 0x0d, 0xfc}};
inline constexpr IID kIidTaskFolderCollection = {
    0x79184a66, 0x8664, 0x423f, {0x97, 0xf1, 0x63, 0x73, 0x56, 0xa5, 0xd8, 0x12}};
inline constexpr IID kIidRegisteredTask = {
    0x9c86f320, 0xdee3, 0x4dd1, {0xb9, 0x72, 0xa3, 0x03, 0xf2, 0x6b, 0x06, 0x1e}};
inline constexpr IID kIidRegisteredTaskCollection = {
    0x86627eb4, 0x42a7, 0x41e4, {0xa4, 0xd9, 0xac, 0x33, 0xa7, 0x2f, 0x2d, 0x52}};
inline constexpr IID kIidTaskDefinition = {
    0xf5bc8fc5, 0x536d, 0x4f77, {0xb8, 0x52, 0xfb, 0xc1, 0x35, 0x6f, 0xde, 0xb6}};
inline constexpr IID kIidRegistrationInfo = {
    0x416d8b73, 0xcb41, 0x4ea1, {0x80, 0x5c, 0x9b, 0xe9, 0xa5, 0xac, 0x4a, 0x74}};
inline constexpr IID kIidPrincipal = {
    0xd98d51e5, 0xc9b4, 0x496a, {0xa9, 0xc1, 0x18, 0x98, 0x02, 0x61, 0xcf, 0x0f}};
inline constexpr IID kIidTaskSettings = {
    0x8fd4711d, 0x2d02, 0x4c8c, {0x87, 0xe3, 0xef, 0xf6, 0x99, 0xde, 0x12, 0x7e}};
inline constexpr IID kIidActionCollection = {
    0x02820e19, 0x7b98, 0x4ed2, {0xb2, 0xe8, 0xfd, 0xcc, 0xce, 0xff, 0x61, 0x9b}};
inline constexpr IID kIidAction = {
    0xbae54997, 0x48b1, 0x4cbe, {0x99, 0x65, 0xd6, 0xbe, 0x26, 0x3e, 0xbe, 0xa4}};
inline constexpr IID kIidExecAction = {
    0x4c3d624d, 0xfd6b, 0x49a3, {0xb9, 0xb7, 0x09, 0xcb, 0x3c, 0xd3, 0xf0, 0x47}};
inline constexpr IID kIidTriggerCollection = {
    0x85df5081, 0x1b24, 0x4f32, {0x87, 0x8a, 0xd9, 0xd1, 0x4d, 0xf4, 0xcb, 0x77}};
inline constexpr IID kIidTrigger = {
    0x09941815, 0xea89, 0x4b5b, {0x89, 0xe0, 0x2a, 0x77, 0x38, 0x01, 0xfa, 0xc3}};
inline constexpr IID kIidTimeTrigger = {
    0xb45747e0, 0xeba7, 0x4276, {0x9f, 0x29, 0x85, 0xc5, 0xbb, 0x30, 0x00, 0x06}};
inline constexpr IID kIidDailyTrigger = {
    0x126c5cd8, 0xb288, 0x41d5, {0x8d, 0xbf, 0xe4, 0x91, 0x44, 0x6a, 0xdc, 0x5c}};
inline constexpr IID kIidWeeklyTrigger = {
    0x5038fc98, 0x82ff, 0x436d, {0x87, 0x28, 0xa5, 0x12, 0xa5, 0x7c, 0x9d, 0xc1}};
inline constexpr IID kIidBootTrigger = {
    0x2a9c35da, 0xd357, 0x41f4, {0xbb, 0xc1, 0x20, 0x7a, 0xc1, 0xb1, 0xf3, 0xcb}};
inline constexpr IID kIidRepetitionPattern = {
    0x7fb9acf1, 0x26be, 0x400e, {0x85, 0xb5, 0x29, 0x4b, 0x9c, 0x75, 0xdf, 0xd6}};

// HRESULTs of the service that MinGW-w64's <winerror.h> does not define.
inline constexpr HRESULT kSchedInvalidValue = static_cast<HRESULT>(0x80041318);   // SCHED_E_INVALIDVALUE
inline constexpr HRESULT kSchedMissingNode = static_cast<HRESULT>(0x80041319);    // SCHED_E_MISSINGNODE
inline constexpr HRESULT kSchedMalformedXml = static_cast<HRESULT>(0x8004131A);   // SCHED_E_MALFORMEDXML
inline constexpr HRESULT kSchedAlreadyRunning = static_cast<HRESULT>(0x8004131F); // SCHED_E_ALREADY_RUNNING
inline constexpr HRESULT kSchedTaskDisabled = static_cast<HRESULT>(0x80041326);   // SCHED_E_TASK_DISABLED
inline constexpr HRESULT kSchedStartOnDemand = static_cast<HRESULT>(0x80041328);  // SCHED_E_START_ON_DEMAND
inline constexpr HRESULT kSchedTaskHasNotRun = static_cast<HRESULT>(0x00041303);  // SCHED_S_TASK_HAS_NOT_RUN

} // namespace kv::ts20
