#pragma once

// The Task Scheduler 2.0 interfaces, completed: MinGW-w64's <taskschd.h> lacks
// the weekly and boot triggers, which the Windows SDK declares. Each is declared
// here only when the SDK header has not done so, with the SDK's layout.

#include <windows.h>
#include <taskschd.h>

#ifndef __IWeeklyTrigger_INTERFACE_DEFINED__
// The SDK header's own guard, so that the two never both declare it.
#define __IWeeklyTrigger_INTERFACE_DEFINED__ // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
MIDL_INTERFACE("5038FC98-82FF-436D-8728-A512A57C9DC1")
IWeeklyTrigger : public ITrigger {
public:
    virtual HRESULT STDMETHODCALLTYPE get_DaysOfWeek(short* days) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DaysOfWeek(short days) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WeeksInterval(short* weeks) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_WeeksInterval(short weeks) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RandomDelay(BSTR * delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_RandomDelay(BSTR delay) = 0;
};
#endif

#ifndef __IBootTrigger_INTERFACE_DEFINED__
// The SDK header's own guard, so that the two never both declare it.
#define __IBootTrigger_INTERFACE_DEFINED__ // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
MIDL_INTERFACE("2A9C35DA-D357-41F4-BBC1-207AC1B1F3CB")
IBootTrigger : public ITrigger {
public:
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR * delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
};
#endif
