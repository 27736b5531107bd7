// The Windows side of the platform seams, checked under Wine: Values crossing into VARIANTs
// and back (arrays, by-reference arguments both ways), the thread's message queue with its
// window timers, and the clock. The conversions run as the tables of
// tests/automation_test.cpp (automation_test.exe).

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/automation.h"
#include "platform/clock.h"
#include "platform/message_loop.h"
#include "platform/win32/com/client.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/scoped.h"
#include "win/tests/client.h"

namespace czqic::win {
namespace {

using testing::pump_for;

// The run-time error number a conversion raises, or 0 when it succeeds.
template <class F>
int error_of(F&& convert) {
    try {
        convert();
        return 0;
    } catch (const AutomationError& e) {
        return e.number();
    }
}

// A VARIANT of the given type, its value still to be filled in.
VARIANT variant_of_type(VARTYPE type) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    return v;
}

TEST(Win32Platform, ValuesCrossIntoVariantsAndBack) {
    Value nested(ValueArray{Value(int32_t{1}), Value("z\xC3\xBC"),
                            Value(ValueArray{Value(2.5), Value(true)})});
    ScopedVariant var = to_variant(nested);
    EXPECT_EQ(var.type(), VT_ARRAY | VT_VARIANT) << "an array becomes a SAFEARRAY of VARIANT";
    Value back = variant_to_value(var.get());
    const auto& items = back.elements();
    EXPECT_TRUE(items.size() == 3 && std::get<int32_t>(items[0].v) == 1 &&
                *std::get<Text>(items[1].v) == "z\xC3\xBC" &&
                std::get<double>(items[2].elements()[0].v) == 2.5 &&
                std::get<bool>(items[2].elements()[1].v))
        << "nested arrays and text survive the round trip";

    ScopedSafeArray bytes(SafeArrayCreateVector(VT_UI1, 0, 2));
    for (LONG i = 0; i < 2; ++i) {
        BYTE b = i == 0 ? 0x90 : 0x00;
        SafeArrayPutElement(bytes.get(), &i, &b);
    }
    VARIANT typed = variant_of_type(VT_ARRAY | VT_UI1);
    V_ARRAY(&typed) = bytes.get();
    Value byte_values = variant_to_value(typed);
    EXPECT_TRUE(byte_values.elements().size() == 2 &&
                std::get<int32_t>(byte_values.elements()[0].v) == 144)
        << "a typed array of bytes reads as numbers";

    VARIANT missing = variant_of_type(VT_ERROR);
    V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
    EXPECT_TRUE(variant_to_value(missing).is_empty()) << "a missing optional argument is Empty";
    VARIANT object = variant_of_type(VT_DISPATCH);
    V_DISPATCH(&object) = nullptr;
    EXPECT_EQ(error_of([&] { variant_to_value(object); }), rt_error::kTypeMismatch)
        << "an object is type mismatch";

    // Outgoing: a String passed by reference, changed by the callee, comes back.
    Value command("INIT");
    Value outgoing_values[] = {Value::by_ref(command), Value(int32_t{-1})};
    OutgoingArgs outgoing(outgoing_values, false);
    DISPPARAMS* params = outgoing.params();
    EXPECT_TRUE(params->cArgs == 2 && V_VT(&params->rgvarg[1]) == (VT_BYREF | VT_BSTR) &&
                V_VT(&params->rgvarg[0]) == VT_I4)
        << "arguments reversed, the String by reference as VT_BYREF|VT_BSTR";
    SysFreeString(*V_BSTRREF(&params->rgvarg[1]));
    *V_BSTRREF(&params->rgvarg[1]) = SysAllocString(L"DONE");
    outgoing.write_back();
    EXPECT_EQ(*std::get<Text>(command.v), std::string("DONE"))
        << "the callee's change reaches the variable";

    // Incoming: the caller's by-reference variable gets the callee's change.
    BSTR callers_text = SysAllocString(L"abc");
    VARIANT slots[2] = {variant_of_type(VT_I2), variant_of_type(VT_BYREF | VT_BSTR)};
    V_I2(&slots[0]) = 7;
    V_BSTRREF(&slots[1]) = &callers_text;
    DISPPARAMS incoming_params{slots, nullptr, 2, 0};
    IncomingArgs incoming(&incoming_params);
    auto values = incoming.values();
    EXPECT_TRUE(values.size() == 2 && to_string(values[0]) == "abc" && to_i4(values[1]) == 7)
        << "incoming arguments in call order, references followed";
    values[0].deref() = Value("xyz");
    incoming.write_back();
    EXPECT_EQ(narrow_bstr(callers_text), std::string("xyz"))
        << "written back through the reference";
    SysFreeString(callers_text);
}

TEST(Win32Platform, TheThreadsMessageQueueAndWindowTimers) {
    auto clock = make_real_clock();
    MessageLoop loop(*clock);
    std::string order;
    loop.post([&] { order += "a"; });
    loop.post([&] { order += "b"; });
    loop.post([&] { order += "late"; }, 80);
    EXPECT_EQ(order, std::string("")) << "nothing runs before the thread pumps";
    loop.pump();
    EXPECT_EQ(order, std::string("ab")) << "due messages run in posting order, later ones wait";
    loop.pump_for(150);
    EXPECT_EQ(order, std::string("ablate")) << "a delayed message runs when due";

    auto owner = std::make_shared<int>(0);
    loop.post([&] { order += "owned"; }, 0, owner);
    owner.reset();
    loop.pump();
    EXPECT_EQ(order, std::string("ablate")) << "a message whose owner is gone is dropped";

    // Anyone pumping the thread's queue runs them: another module's loop, a client's.
    loop.post([&] { order += "+foreign"; }, 30);
    pump_for(120);
    EXPECT_EQ(order, std::string("ablate+foreign"))
        << "posted messages run from a plain PeekMessage/DispatchMessage loop";

    int ticks = 0;
    Timer timer(loop, 50, [&] { ++ticks; });
    loop.pump_for(120);
    EXPECT_EQ(ticks, 0) << "a timer that is off never ticks";
    timer.set_enabled(true);
    loop.pump_for(40);
    EXPECT_EQ(ticks, 0) << "the first tick comes one interval after enabling";
    loop.pump_for(240);
    EXPECT_TRUE(ticks >= 2 && ticks <= 6)
        << "a window timer ticks while the thread pumps: " << ticks << " ticks";
    timer.set_enabled(false);
    const int stopped_at = ticks;
    loop.pump_for(150);
    EXPECT_EQ(ticks, stopped_at) << "no tick after the timer is switched off";

    int nested = 0;
    loop.post([&] {
        loop.post([&] { ++nested; });
        loop.pump();
        nested += 10;
    });
    loop.pump();
    EXPECT_EQ(nested, 11) << "a handler may pump again";
}

// A failure's error information that nobody read stays on the thread: a creation that
// fails without any of its own must not report that one as its reason.
TEST(Win32Platform, ARefusedCreationGivesItsOwnReason) {
    ComPtr<ICreateErrorInfo> earlier;
    ASSERT_EQ(CreateErrorInfo(earlier.out()), S_OK);
    earlier->SetDescription(const_cast<LPOLESTR>(L"an earlier failure"));
    SetErrorInfo(0, earlier.query<IErrorInfo>(IID_IErrorInfo).get());
    try {
        create_com_object("{2F7A61C4-0D0E-4E5B-9C1A-6B0C2D3E4F50}");  // registered nowhere
        ADD_FAILURE() << "an unregistered class was created";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.number(), rt_error::kCannotCreateObject);
        EXPECT_EQ(e.description().find("an earlier failure"), std::string::npos) << e.description();
    }
}

TEST(Win32Platform, TheRealClock) {
    auto clock = make_real_clock();
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const double expected = now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond;
    const double seen = clock->time_of_day();
    EXPECT_TRUE(seen >= 0 && seen < 86400 && std::fabs(seen - expected) < 2.0)
        << "time of day from the local time: " << seen;
    // Measured with the performance counter: under Wine on a busy machine the tick count
    // the clock reads can lag behind by a few of its updates.
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    clock->sleep_ms(100);
    QueryPerformanceCounter(&end);
    const double slept_ms =
        1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    EXPECT_GE(slept_ms, 90) << "Sleep blocks for the time asked (ms)";
    EXPECT_FALSE(clock->is_virtual()) << "the real clock";
}

}  // namespace
}  // namespace czqic::win
