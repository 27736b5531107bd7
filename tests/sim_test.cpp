// The simulated card reader as the host form meets it: late-bound calls by id, events by
// name on the thread's message loop, one device behind every control instance.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "sim/sim_reader.h"
#include "tests/support/errors.h"

namespace czqic::sim {
namespace {

constexpr DispId kNumber = 1, kBinFlag = 3, kWritable1 = 7, kDeviceName = 20, kDeviceState = 21,
                 kMediaState = 22, kBinState = 23, kTrack1Data = 27, kTrack2Data = 28,
                 kTrack3Data = 29, kTrack1Status = 63;
constexpr DispId kCancelAccept = 31, kEject = 32, kRetain = 33, kClear = 34, kOpen = 43,
                 kClose = 44, kWriteTrack = 52, kChipInit = 54, kChipSend = 55, kCancelWait = 66,
                 kAcceptAndRead = 67, kQuery = 70, kReset = 80;

// ---------------------------------------------------------------------------------------
// Test helpers

using czqic::testing::error_from;

std::string str(const Value& v) {
    return *std::get<Text>(v.v);
}
int32_t i4(const Value& v) {
    return std::get<int32_t>(v.v);
}
// A failure a scenario gives a call: E_FAIL with the scenario's description.
void expect_control_failure(const AutomationError& e, const std::string& description) {
    EXPECT_EQ(e.number(), static_cast<int32_t>(0x80004005u));
    EXPECT_EQ(e.hresult(), 0x80004005u);
    EXPECT_EQ(e.description(), description);
}

// The elements of an event's chip data, each required to be a Long byte value.
std::vector<int> bytes_of(const Value& v) {
    std::vector<int> out;
    for (const auto& e : *std::get<Value::Array>(v.v)) out.push_back(std::get<int32_t>(e.v));
    return out;
}

std::vector<int> hex(std::string_view text) {
    std::vector<int> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    return out;
}

// A command the way the component builds it: byte values held as Doubles.
Value doubles(const std::vector<int>& bytes) {
    ValueArray items;
    for (int b : bytes) items.emplace_back(static_cast<double>(b));
    return Value(std::move(items));
}

struct Delivery {
    std::string name;
    ValueArray args;
    int64_t at_ms;
    std::string media;  // the device's media state as the handler sees it
    std::string device;
};

class RecordingSink : public EventSink {
  public:
    RecordingSink(Clock& clock, const SimDevice& device) : clock_(clock), device_(device) {}
    void on_event(std::string_view name, std::span<const Value> args) override {
        deliveries.push_back({std::string(name), ValueArray(args.begin(), args.end()),
                              clock_.now_ms(), device_.state().media, device_.state().device});
        if (then) then(name);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& d : deliveries) out.push_back(d.name);
        return out;
    }
    std::vector<Delivery> deliveries;
    std::function<void(std::string_view)> then;

  private:
    Clock& clock_;
    const SimDevice& device_;
};

class ThrowingSink : public EventSink {
  public:
    void on_event(std::string_view, std::span<const Value>) override {
        throw std::runtime_error("handler failed");
    }
};

// One host-form load: the control instance and the sink connected to it.
struct Form {
    std::shared_ptr<Object> object;
    std::shared_ptr<RecordingSink> sink;

    Dispatch& control() { return dynamic_cast<Dispatch&>(*object); }
    Value call(DispId id, ValueArray args = {}) { return control().call(id, args); }
    Value get(DispId id) { return control().get(id); }
};

class SimReaderTest : public ::testing::Test {
  protected:
    void start(std::string_view scenario_json = "{}", uint32_t seed = 0x5EED) {
        device = SimDevice::create(loop, parse_scenario(scenario_json), seed);
    }
    Form load_form() {
        Form form{device->create_control(), std::make_shared<RecordingSink>(clock, *device)};
        dynamic_cast<EventSource&>(*form.object).advise(form.sink);
        return form;
    }

    VirtualClock clock;
    MessageLoop loop{clock};
    std::shared_ptr<SimDevice> device;
};

// ---------------------------------------------------------------------------------------
// Scenario file

TEST(ScenarioParse, ErrorsNameTheKeyPath) {
    // Each scenario and the start of the error it must raise.
    const std::pair<const char*, const char*> cases[] = {
        {R"({"on":{"reset":[{},{"events":[{"event":"ResetDone"}]}]}})",
         R"(on.reset[1].events[0].event: unknown event "ResetDone")"},
        {R"({"state":{"tracks":[{},{},{},{}]}})", "state.tracks[3]: "},
        {R"({"state":{"writable":[true,true,true,true]}})", "state.writable[3]: "},
        {R"({"timeline":[{"atMs":"soon"}]})", "timeline[0].atMs: expected a number"},
        {R"({"timeline":[{"atMs":1.5}]})", "timeline[0].atMs: "},
        {R"({"stat":{}})", "stat: unknown key"},
        {R"({"state":{"colour":"red"}})", "state.colour: unknown key"},
        {R"({"state":{"binFlag":"yes"}})", "state.binFlag: expected a boolean"},
        {R"({"state":{"device":1}})", "state.device: expected a string"},
        {R"({"state":{"lastErrorCode":0}})", "state.lastErrorCode: expected a string"},
        {R"({"state":{"number":"7"}})", "state.number: expected a number"},
        {R"({"state":{"writable":[true,{"x":1}]}})", "state.writable[1]: "},
        {R"({"state":{"tracks":[{"status":"READ","dat":""}]}})",
         "state.tracks[0].dat: unknown key"},
        {R"({"state":{"tracks":[{},{"status":3}]}})", "state.tracks[1].status: expected a string"},
        {R"({"state":{"failGets":{"mediastate":"x"}}})",
         R"(state.failGets.mediastate: unknown property "mediastate")"},
        {R"({"state":{"failGets":{"mediaState":5}}})",
         "state.failGets.mediaState: expected a string"},
        {R"({"on":{"rest":[{}]}})", R"(on.rest: unknown member "rest")"},
        {R"({"on":{"mediaState":[{}]}})", R"(on.mediaState: unknown member "mediaState")"},
        {R"({"on":{"reset":{}}})", "on.reset: expected an array"},
        {R"({"on":{"reset":[5]}})", "on.reset[0]: expected an object"},
        {R"({"on":{"reset":[{"later":1}]}})", "on.reset[0].later: unknown key"},
        {R"({"on":{"reset":[{"fail":true}]}})", "on.reset[0].fail: expected a string"},
        {R"({"on":{"clear":[{"returns":{"a":1}}]}})", "on.clear[0].returns: "},
        {R"({"on":{"clear":[{"returns":[1,{"a":1}]}]}})", "on.clear[0].returns[1]: "},
        {R"({"on":{"open":[{"events":[{"afterMs":5}]}]}})", "on.open[0].events[0].event: missing"},
        {R"({"on":{"open":[{"events":[{"event":"ConnectionOpened","afterMs":-1}]}]}})",
         "on.open[0].events[0].afterMs: "},
        {R"({"on":{"open":[{"events":[{"event":"ConnectionOpened","during":1}]}]}})",
         "on.open[0].events[0].during: expected a boolean"},
        {R"({"on":{"open":[{"events":[{"event":"ConnectionOpened","when":1}]}]}})",
         "on.open[0].events[0].when: unknown key"},
        {R"({"on":{"eject":[{"events":[{"event":"CardEjected","data":"9000"}]}]}})",
         "on.eject[0].events[0].data: "},
        {R"({"on":{"chipSend":[{"events":[{"event":"ChipDataReceived","data":"900"}]}]}})",
         "on.chipSend[0].events[0].data: "},
        {R"({"on":{"chipSend":[{"events":[{"event":"ChipDataReceived","data":"9G00"}]}]}})",
         "on.chipSend[0].events[0].data: "},
        {R"({"on":{"chipSend":[{"events":[{"event":"ChipDataReceived","data":[144,"0"]}]}]}})",
         "on.chipSend[0].events[0].data[1]: expected a number"},
        {R"({"on":{"chipSend":[{"events":[{"event":"ChipDataReceived","data":true}]}]}})",
         "on.chipSend[0].events[0].data: "},
        {R"({"on":{"open":[{"set":{"binFlag":"true"}}]}})",
         "on.open[0].set.binFlag: expected a boolean"},
        {R"({"on":{"open":[{"set":{"media":7}}]}})", "on.open[0].set.media: expected a string"},
        {R"({"on":{"open":[{"events":[{"event":"ConnectionOpened","set":{"track4.data":""}}]}]}})",
         "on.open[0].events[0].set.track4.data: unknown key"},
        {R"({"timeline":[{"set":{"medium":"X"}}]})", "timeline[0].set.medium: unknown key"},
        {R"({"timeline":[{},{"event":"CardAccept"}]})",
         R"(timeline[1].event: unknown event "CardAccept")"},
        {R"({"timeline":[{"data":"9000"}]})", "timeline[0].data: "},
        {R"({"timeline":[{"atMs":0,"at":1}]})", "timeline[0].at: unknown key"},
        {R"({"timeline":{}})", "timeline: expected an array"},
        {R"({"control":{"mode":"strict"}})", R"(control.mode: unknown control mode "strict")"},
        {R"({"control":{"mode":"lenient","modes":1}})", "control.modes: unknown key"},
        {"[]", "scenario: expected an object"},
        {"{\n  \"state\": {,}\n}", "invalid JSON: parse error at line 2"},
    };
    for (const auto& [json, starts_with] : cases) {
        SCOPED_TRACE(json);
        try {
            parse_scenario(json);
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& e) {
            EXPECT_TRUE(std::string_view(e.what()).starts_with(starts_with)) << e.what();
        }
    }
}

TEST(ScenarioParse, MissingKeysKeepTheBuiltInReader) {
    const Scenario builtin = builtin_scenario();
    const Scenario s = parse_scenario(
        R"({"state":{"media":"PRESENT","tracks":[{"status":"INVALID"}],"writable":[false]}})");
    EXPECT_EQ(s.state.media, "PRESENT");
    EXPECT_EQ(s.state.device, "ONLINE");
    EXPECT_EQ(s.state.tracks[0].status, "INVALID");
    EXPECT_EQ(s.state.tracks[0].data, builtin.state.tracks[0].data);
    EXPECT_EQ(s.state.tracks[1].data, builtin.state.tracks[1].data);
    EXPECT_EQ(std::get<bool>(s.state.writable[0].v), false);
    EXPECT_EQ(std::get<bool>(s.state.writable[2].v), true);
    EXPECT_TRUE(s.on.empty());
    // An empty reaction list is no list at all.
    EXPECT_TRUE(parse_scenario(R"({"on":{"open":[]}})").on.empty());
}

TEST(ScenarioParse, BuiltInTracksLookLikeTestCards) {
    const auto& tracks = builtin_scenario().state.tracks;
    for (const auto& t : tracks) EXPECT_EQ(t.status, "READ");
    EXPECT_TRUE(
        std::regex_match(tracks[0].data, std::regex(R"(%B(\d{13,19})\^[A-Z /]{2,26}\^\d{7}\d*\?)")))
        << tracks[0].data;
    EXPECT_TRUE(std::regex_match(tracks[1].data, std::regex(R"(;(\d{13,19})=\d{7}\d*\?)")))
        << tracks[1].data;
    // The same test number on both tracks, and one that no issuer hands out.
    std::smatch m1, m2;
    std::regex_search(tracks[0].data, m1, std::regex(R"(%B(\d+)\^)"));
    std::regex_search(tracks[1].data, m2, std::regex(R"(;(\d+)=)"));
    EXPECT_EQ(m1[1], m2[1]);
    EXPECT_EQ(m1[1], "4000000000000002");
}

TEST(ScenarioParse, NumbersBecomeLongsOnlyWhenIntegralAndInRange) {
    struct Case {
        const char* number;
        bool is_long;
        double value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"70000", true, 70000},
        {"-2147483648", true, -2147483648.0},
        {"2147483648", false, 2147483648.0},
        {"-3000000000", false, -3e9},
        {"2.5", false, 2.5},
        {"2.0", false, 2.0},
        {"1e3", false, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        const Value n =
            parse_scenario(std::string(R"({"state":{"number":)") + c.number + "}}").state.number;
        if (c.is_long) {
            EXPECT_EQ(i4(n), c.value);
        } else {
            EXPECT_EQ(std::get<double>(n.v), c.value);
        }
    }
}

TEST(ScenarioParse, LoadFileNamesTheFile) {
    const std::string missing = ::testing::TempDir() + "no-such-scenario.json";
    try {
        load_scenario_file(missing);
        ADD_FAILURE() << "loaded a missing file";
    } catch (const ScenarioError& e) {
        EXPECT_TRUE(std::string_view(e.what()).starts_with(missing)) << e.what();
    }

    const std::string bad = ::testing::TempDir() + "sim_test_bad.json";
    std::ofstream(bad) << "{\n  \"state\": {\"device\": \"ONLINE\",}\n}\n";
    try {
        load_scenario_file(bad);
        ADD_FAILURE() << "loaded invalid JSON";
    } catch (const ScenarioError& e) {
        EXPECT_TRUE(std::string_view(e.what()).starts_with(bad + ": invalid JSON")) << e.what();
        EXPECT_NE(std::string_view(e.what()).find("line 2"), std::string_view::npos) << e.what();
    }

    const std::string wrong_key = ::testing::TempDir() + "sim_test_key.json";
    std::ofstream(wrong_key) << R"({"state": {"device": 5}})";
    try {
        load_scenario_file(wrong_key);
        ADD_FAILURE() << "loaded a wrong type";
    } catch (const ScenarioError& e) {
        EXPECT_EQ(std::string(e.what()), wrong_key + ": state.device: expected a string");
    }

    const std::string good = ::testing::TempDir() + "sim_test_good.json";
    std::ofstream(good) << R"({"state": {"media": "PRESENT"}})";
    EXPECT_EQ(load_scenario_file(good).state.media, "PRESENT");
    std::remove(bad.c_str());
    std::remove(wrong_key.c_str());
    std::remove(good.c_str());
}

// ---------------------------------------------------------------------------------------
// Reactions

TEST_F(SimReaderTest, ReactionsAreTakenInTurnAndTheLastRepeats) {
    start(R"({"on":{"clear":[{"returns":5},{"returns":"six"}]}})");
    Form form = load_form();
    EXPECT_EQ(i4(form.call(kClear)), 5);
    EXPECT_EQ(str(form.call(kClear)), "six");
    EXPECT_EQ(str(form.call(kClear)), "six");
    EXPECT_EQ(str(form.call(kClear)), "six");
    // A member without a list keeps its built-in answer.
    EXPECT_EQ(i4(form.call(kAcceptAndRead, {Value("1,2,3"), Value(int32_t{-1})})), 0);
}

TEST_F(SimReaderTest, TheJournalIsKeptOnlyWhileSomeoneReadsIt) {
    start();
    std::vector<std::string> echoed;
    device->on_journal = [&](const std::string& line) { echoed.push_back(line); };
    device->keep_journal(false);
    Form form = load_form();
    for (int i = 0; i < 100; ++i) form.call(kClear);
    EXPECT_EQ(echoed.size(), 100u);
    EXPECT_TRUE(device->journal().empty());
}

TEST_F(SimReaderTest, ReturnsAnyJsonValueAndDefaultsPerMember) {
    start(R"({"state":{"lastErrorCode":"E17"},
              "on":{"acceptAndRead":[{"returns":70000},{}],
                    "query":[{"set":{"lastErrorCode":"E18"}},{"returns":null}],
                    "open":[{"returns":5}]}})");
    Form form = load_form();
    ValueArray accept{Value("1,2,3"), Value(int32_t{-1})};
    EXPECT_EQ(i4(form.call(kAcceptAndRead, accept)), 70000);
    EXPECT_EQ(i4(form.call(kAcceptAndRead, accept)), 0);
    // The query's own answer reflects the reaction's state change.
    EXPECT_EQ(str(form.call(kQuery, {Value("LastErrorCode")})), "E18");
    EXPECT_TRUE(std::holds_alternative<Null>(form.call(kQuery, {Value("LastErrorCode")}).v));
    // A method that returns nothing ignores `returns`.
    EXPECT_TRUE(form.call(kOpen).is_empty());
}

TEST_F(SimReaderTest, FailingReactionIsJournalledAndDoesNothingElse) {
    start(R"({"on":{"open":[{"fail":"Device not ready","set":{"media":"PRESENT"},
                             "events":[{"event":"ConnectionOpened","during":true},
                                       {"event":"DeviceError"}]},
                            {}]}})");
    Form form = load_form();
    expect_control_failure(error_from([&] { form.call(kOpen); }), "Device not ready");
    loop.pump_for(1000);
    EXPECT_EQ(device->journal(), std::vector<std::string>{"call: open()"});
    EXPECT_TRUE(form.sink->deliveries.empty());
    EXPECT_EQ(device->state().media, "NOMEDIA");
    EXPECT_FALSE(device->opened());
    // The failure used up its turn: the next call takes the next reaction.
    EXPECT_NO_THROW(form.call(kOpen));
    EXPECT_TRUE(device->opened());
}

TEST_F(SimReaderTest, DuringEventsArriveInsideTheCallPostedOnesOnlyWhenPumped) {
    start(R"({"on":{"reset":[{"set":{"device":"BUSY"},
        "events":[{"event":"CardEjected","set":{"media":"INJAWS"}},
                  {"event":"ResetComplete","during":true,"set":{"media":"PRESENT"}}]}]}})");
    Form form = load_form();
    form.call(kReset, {Value("EJECT")});
    ASSERT_EQ(form.sink->names(), std::vector<std::string>{"ResetComplete"});
    // The reaction's change is made at the call, the event's just before delivery.
    EXPECT_EQ(form.sink->deliveries[0].device, "BUSY");
    EXPECT_EQ(form.sink->deliveries[0].media, "PRESENT");

    loop.pump();
    ASSERT_EQ(form.sink->names(), (std::vector<std::string>{"ResetComplete", "CardEjected"}));
    EXPECT_EQ(form.sink->deliveries[1].media, "INJAWS");
    EXPECT_EQ(form.sink->deliveries[1].at_ms, 0);
}

TEST_F(SimReaderTest, PostedEventsRunInDueOrderMeasuredFromTheCall) {
    start(R"({"on":{"retain":[{"events":[{"event":"CardCaptured","afterMs":300},
                                         {"event":"Timeout","afterMs":100},
                                         {"event":"DeviceError","afterMs":200},
                                         {"event":"CardRead","afterMs":100}]}]}})");
    Form form = load_form();
    clock.sleep_ms(50);
    form.call(kRetain);
    loop.pump_for(299);
    std::vector<std::pair<std::string, int64_t>> seen;
    for (const auto& d : form.sink->deliveries) seen.emplace_back(d.name, d.at_ms);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int64_t>>{
                        {"Timeout", 150}, {"CardRead", 150}, {"DeviceError", 250}}));
    loop.pump_for(1);
    EXPECT_EQ(form.sink->names().back(), "CardCaptured");
    EXPECT_EQ(form.sink->deliveries.back().at_ms, 350);
}

TEST_F(SimReaderTest, EventArgumentsFollowTheControlsDeclarations) {
    start(R"({"on":{"chipSend":[{"events":[
        {"event":"ChipDataReceived","during":true,"data":"3b6F00"},
        {"event":"ChipDataReceived","during":true,"data":[7]},
        {"event":"ChipDataReceived","during":true,"data":[2.5, 144]},
        {"event":"ChipDataReceived","during":true},
        {"event":"FatalError","during":true},
        {"event":"ChipInvalid","during":true},
        {"event":"CardTaken","during":true}]}]}})");
    Form form = load_form();
    Value send("SEND");
    form.call(kChipSend, {Value::by_ref(send), Value(int16_t{0}), doubles({0}), Value(-1)});
    const auto& d = form.sink->deliveries;
    ASSERT_EQ(d.size(), 7u);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(d[i].args.size(), 2u);
        EXPECT_EQ(str(d[i].args[0]), "");
    }
    EXPECT_EQ(bytes_of(d[0].args[1]), (std::vector<int>{0x3B, 0x6F, 0x00}));
    EXPECT_EQ(bytes_of(d[1].args[1]), std::vector<int>{7});
    const auto& mixed = *std::get<Value::Array>(d[2].args[1].v);
    EXPECT_EQ(std::get<double>(mixed[0].v), 2.5);
    EXPECT_EQ(i4(mixed[1]), 144);
    EXPECT_TRUE(bytes_of(d[3].args[1]).empty());
    ASSERT_EQ(d[4].args.size(), 1u);
    EXPECT_EQ(i4(d[4].args[0]), 0);
    ASSERT_EQ(d[5].args.size(), 1u);
    EXPECT_EQ(str(d[5].args[0]), "");
    EXPECT_TRUE(d[6].args.empty());
}

class MutatingSink : public EventSink {
  public:
    void on_event(std::string_view, std::span<const Value> args) override {
        received.push_back(bytes_of(args[1]));
        (*std::get<Value::Array>(args[1].v))[0] = Value(int32_t{1});
    }
    std::vector<std::vector<int>> received;
};

TEST_F(SimReaderTest, HandlersCannotChangeTheScenariosChipData) {
    start(R"({"on":{"chipInit":[{"events":[{"event":"ChipDataReceived","during":true,
                                             "data":"9000"}]}]},
              "timeline":[{"atMs":10,"event":"ChipDataReceived","data":"6A82"},
                          {"atMs":20,"event":"ChipDataReceived","data":"6A82"}]})");
    auto object = device->create_control();
    auto sink = std::make_shared<MutatingSink>();
    dynamic_cast<EventSource&>(*object).advise(sink);
    Value init("INIT");
    ValueArray args{Value::by_ref(init)};
    dynamic_cast<Dispatch&>(*object).call(kChipInit, args);
    dynamic_cast<Dispatch&>(*object).call(kChipInit, args);
    loop.pump_for(20);
    EXPECT_EQ(sink->received, (std::vector<std::vector<int>>{
                                  {0x90, 0x00}, {0x90, 0x00}, {0x6A, 0x82}, {0x6A, 0x82}}));
}

TEST_F(SimReaderTest, SinkFailuresStayInTheSink) {
    start(R"({"on":{"reset":[{"events":[{"event":"ResetComplete","during":true},
                                        {"event":"ResetComplete","afterMs":10}]}]}})");
    Form form = load_form();
    auto thrower = std::make_shared<ThrowingSink>();
    auto& source = dynamic_cast<EventSource&>(*form.object);
    source.advise(thrower);
    auto late = std::make_shared<RecordingSink>(clock, *device);
    source.advise(late);
    EXPECT_NO_THROW(form.call(kReset, {Value("EJECT")}));
    EXPECT_NO_THROW(loop.pump_for(10));
    EXPECT_EQ(form.sink->deliveries.size(), 2u);
    EXPECT_EQ(late->deliveries.size(), 2u);
}

TEST_F(SimReaderTest, UnadvisedAndDeadSinksAreNotCalled) {
    start();
    Form form = load_form();
    auto& source = dynamic_cast<EventSource&>(*form.object);
    auto second = std::make_shared<RecordingSink>(clock, *device);
    const uint32_t cookie = source.advise(second);
    // The first handler disconnects the second before it would be called.
    form.sink->then = [&](std::string_view) { source.unadvise(cookie); };
    form.call(kOpen);
    loop.pump_for(100);
    EXPECT_EQ(form.sink->deliveries.size(), 1u);
    EXPECT_TRUE(second->deliveries.empty());

    form.sink->then = nullptr;
    auto weak = std::weak_ptr<RecordingSink>(form.sink);
    form.sink.reset();
    ASSERT_TRUE(weak.expired());
    form.call(kOpen);
    EXPECT_NO_THROW(loop.pump_for(100));
}

// ---------------------------------------------------------------------------------------
// Instances of one device

TEST_F(SimReaderTest, EventsOfAReleasedInstanceAreNeverDelivered) {
    start();
    Form first = load_form();
    first.call(kEject, {Value(-1)});
    first.object.reset();
    Form second = load_form();
    loop.pump_for(5000);
    EXPECT_TRUE(first.sink->deliveries.empty());
    EXPECT_TRUE(second.sink->deliveries.empty());
    // Nor is their state change made: the card never moved.
    EXPECT_EQ(device->state().media, "NOMEDIA");
}

TEST_F(SimReaderTest, NewInstanceContinuesTheDeviceButStartsNotOpened) {
    start(R"({"on":{"clear":[{"returns":1},{"returns":2},{"returns":3}]}})");
    Form first = load_form();
    EXPECT_EQ(i4(first.call(kClear)), 1);
    first.call(kOpen);
    EXPECT_TRUE(device->opened());
    device->set("media", "JAMMED");
    first.object.reset();

    Form second = load_form();
    EXPECT_FALSE(device->opened());
    EXPECT_EQ(str(second.get(kMediaState)), "JAMMED");
    EXPECT_EQ(i4(second.call(kClear)), 2);
    EXPECT_EQ(i4(second.call(kClear)), 3);
    EXPECT_EQ(i4(second.call(kClear)), 3);
    EXPECT_EQ(device->control_instances_created(), 2);
    second.call(kOpen);
    EXPECT_TRUE(device->opened());
    second.call(kClose);
    EXPECT_FALSE(device->opened());
}

TEST_F(SimReaderTest, TheLatestLivingInstanceIsTheCurrentOne) {
    start();
    Form first = load_form();
    Form second = load_form();
    device->raise("CardInvalid");
    loop.pump();
    EXPECT_TRUE(first.sink->deliveries.empty());
    EXPECT_EQ(second.sink->names(), std::vector<std::string>{"CardInvalid"});

    second.object.reset();
    device->raise("CardTaken");
    loop.pump();
    EXPECT_EQ(first.sink->names(), std::vector<std::string>{"CardTaken"});
}

TEST_F(SimReaderTest, ClassRegistrationMakesOneInstancePerCreation) {
    start();
    ClassRegistry classes;
    device->register_class(classes);
    auto a = classes.create("KXCARDREADERLib.KXCardReader");
    auto b = classes.create("KXCARDREADERLib.KXCardReader");
    EXPECT_NE(a, b);
    EXPECT_NE(std::dynamic_pointer_cast<Dispatch>(a), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<EventSource>(b), nullptr);
    EXPECT_EQ(device->control_instances_created(), 2);

    // Instances keep the device alive; the class stops making new ones once it is gone.
    std::weak_ptr<SimDevice> weak = device;
    device.reset();
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(str(std::dynamic_pointer_cast<Dispatch>(a)->get(kDeviceState)), "ONLINE");
    a.reset();
    b.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(error_from([&] { classes.create("KXCARDREADERLib.KXCardReader"); }).number(),
              rt_error::kCannotCreateObject);
}

// ---------------------------------------------------------------------------------------
// Timeline and outside changes

TEST_F(SimReaderTest, TimelineRunsFromTheFirstInstanceOnTheCurrentOne) {
    start(R"({"timeline":[{"atMs":5000,"set":{"device":"FATAL"}},
                          {"atMs":7000,"event":"CardAccepted","set":{"media":"PRESENT"}},
                          {"atMs":9000,"event":"ChipDataReceived","data":"6A82"}]})");
    clock.sleep_ms(1000);
    loop.pump_for(10000);  // nothing happens before a form exists
    EXPECT_EQ(device->state().device, "ONLINE");

    const int64_t t0 = clock.now_ms();
    Form first = load_form();
    loop.pump_for(1000);
    Form second = load_form();  // a later load does not start the timeline again
    loop.pump_for(4000 - 1);
    EXPECT_EQ(device->state().device, "ONLINE");
    loop.pump_for(1);
    EXPECT_EQ(device->state().device, "FATAL");
    loop.pump_for(5000);

    EXPECT_TRUE(first.sink->deliveries.empty());
    ASSERT_EQ(second.sink->names(), (std::vector<std::string>{"CardAccepted", "ChipDataReceived"}));
    EXPECT_EQ(second.sink->deliveries[0].at_ms, t0 + 7000);
    EXPECT_EQ(second.sink->deliveries[0].media, "PRESENT");
    EXPECT_EQ(bytes_of(second.sink->deliveries[1].args[1]), (std::vector<int>{0x6A, 0x82}));
}

TEST_F(SimReaderTest, TimelineChangesStateWithNoInstanceAlive) {
    start(R"({"timeline":[{"atMs":100,"event":"CardAccepted","set":{"media":"PRESENT"}}]})");
    Form form = load_form();
    form.object.reset();
    loop.pump_for(100);
    EXPECT_EQ(device->state().media, "PRESENT");
    EXPECT_TRUE(form.sink->deliveries.empty());
}

TEST_F(SimReaderTest, RaisePostsAnyEventNow) {
    start();
    device->raise("CardAccepted");  // no form yet: nobody to tell
    Form form = load_form();
    device->raise("VendorSpecificEvent");
    device->raise("ChipDataReceived", Value("9000"));
    device->raise("ChipDataReceived", Value(ValueArray{Value(7.0)}));
    EXPECT_TRUE(form.sink->deliveries.empty());
    loop.pump();
    ASSERT_EQ(
        form.sink->names(),
        (std::vector<std::string>{"VendorSpecificEvent", "ChipDataReceived", "ChipDataReceived"}));
    EXPECT_TRUE(form.sink->deliveries[0].args.empty());
    EXPECT_EQ(bytes_of(form.sink->deliveries[1].args[1]), (std::vector<int>{0x90, 0x00}));
    EXPECT_EQ(std::get<double>((*std::get<Value::Array>(form.sink->deliveries[2].args[1].v))[0].v),
              7.0);
    EXPECT_THROW(device->raise("ChipDataReceived", Value("900")), ScenarioError);
}

TEST_F(SimReaderTest, SetReadsJsonOrBareText) {
    start();
    Form form = load_form();
    struct Case {
        const char* key;
        const char* text;
        DispId read_through;
        std::function<void(const Value&)> check;
    };
    const Case cases[] = {
        {"device", "FATAL", kDeviceState, [](const Value& v) { EXPECT_EQ(str(v), "FATAL"); }},
        {"media", "\"PRESENT\"", kMediaState, [](const Value& v) { EXPECT_EQ(str(v), "PRESENT"); }},
        {"bin", "BINFULL", kBinState, [](const Value& v) { EXPECT_EQ(str(v), "BINFULL"); }},
        {"binFlag", "true", kBinFlag, [](const Value& v) { EXPECT_TRUE(std::get<bool>(v.v)); }},
        {"number", "70000", kNumber, [](const Value& v) { EXPECT_EQ(i4(v), 70000); }},
        {"number", "2.5", kNumber, [](const Value& v) { EXPECT_EQ(std::get<double>(v.v), 2.5); }},
        {"writable1", "false", kWritable1,
         [](const Value& v) { EXPECT_FALSE(std::get<bool>(v.v)); }},
        {"writable1", "maybe", kWritable1, [](const Value& v) { EXPECT_EQ(str(v), "maybe"); }},
        {"writable1", "null", kWritable1,
         [](const Value& v) { EXPECT_TRUE(std::holds_alternative<Null>(v.v)); }},
        {"track1.status", "INVALID", kTrack1Status,
         [](const Value& v) { EXPECT_EQ(str(v), "INVALID"); }},
        {"track3.data", ";123=456?", kTrack3Data,
         [](const Value& v) { EXPECT_EQ(str(v), ";123=456?"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.text);
        device->set(c.key, c.text);
        c.check(form.get(c.read_through));
    }
    // A string key takes the text itself even where it reads as another JSON type.
    device->set("lastErrorCode", "0");
    EXPECT_EQ(str(form.call(kQuery, {Value("LastErrorCode")})), "0");

    struct Bad {
        const char* key;
        const char* text;
        const char* starts_with;
    };
    const Bad bad[] = {
        {"colour", "red", "colour: unknown key"},
        {"track4.data", "x", "track4.data: unknown key"},
        {"binFlag", "yes", "binFlag: expected a boolean"},
        {"number", "many", "number: expected a number"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.key);
        try {
            device->set(b.key, b.text);
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& e) {
            EXPECT_TRUE(std::string_view(e.what()).starts_with(b.starts_with)) << e.what();
        }
    }
}

// ---------------------------------------------------------------------------------------
// Properties and dispatch

TEST_F(SimReaderTest, PropertiesReadTheDeviceState) {
    start(R"({"state":{"bin":"BINFULL","binFlag":true,"number":3000000000,
                       "tracks":[{},{"status":"INVALID","data":";9?"}],
                       "writable":[false, "text", [1, 2]]}})");
    Form form = load_form();
    EXPECT_EQ(str(form.get(kDeviceState)), "ONLINE");
    EXPECT_EQ(str(form.get(kMediaState)), "NOMEDIA");
    EXPECT_EQ(str(form.get(kBinState)), "BINFULL");
    EXPECT_TRUE(std::get<bool>(form.get(kBinFlag).v));
    EXPECT_EQ(std::get<double>(form.get(kNumber).v), 3e9);
    EXPECT_EQ(str(form.get(kTrack1Status)), "READ");
    EXPECT_EQ(str(form.get(kTrack2Data)), ";9?");
    EXPECT_EQ(str(form.get(64)), "INVALID");
    EXPECT_FALSE(std::get<bool>(form.get(kWritable1).v));
    EXPECT_EQ(str(form.get(8)), "text");
    EXPECT_EQ(bytes_of(form.get(9)), (std::vector<int>{1, 2}));
    EXPECT_EQ(str(form.get(kDeviceName)), "");
    form.control().put(kDeviceName, Value("CARDREADER_ZQICR"));
    EXPECT_EQ(str(form.get(kDeviceName)), "CARDREADER_ZQICR");
    // The name belongs to the instance, not to the device.
    EXPECT_EQ(str(load_form().get(kDeviceName)), "");
}

TEST_F(SimReaderTest, FailGetsFailThatPropertyOnly) {
    start(R"({"state":{"failGets":{"mediaState":"Media sensor fault","writable2":"No flag"}}})");
    Form form = load_form();
    const std::pair<DispId, const char*> failing[] = {{kMediaState, "Media sensor fault"},
                                                      {8, "No flag"}};
    for (const auto& [id, description] : failing) {
        SCOPED_TRACE(id);
        expect_control_failure(error_from([&] { form.get(id); }), description);
    }
    EXPECT_EQ(str(form.get(kDeviceState)), "ONLINE");
    EXPECT_EQ(device->journal(),
              (std::vector<std::string>{"get: mediaState", "get: writable2", "get: deviceState"}));
}

TEST_F(SimReaderTest, RefusedAccessesAreJournalledAndReportedAsIDispatchDoes) {
    start(R"({"on":{"clear":[{"returns":1},{"returns":2}]}})");
    Form form = load_form();
    struct Case {
        std::function<void()> access;
        uint32_t hresult;
        const char* journal;
    };
    const Case cases[] = {
        {[&] { form.call(99); }, kDispEMemberNotFound, "call: #99()"},
        {[&] { form.get(2); }, kDispEMemberNotFound, "get: #2"},
        {[&] { form.control().put(kMediaState, Value("X")); }, kDispEMemberNotFound,
         "put: mediaState = \"X\""},
        {[&] { form.call(kReset); }, kDispEBadParamCount, "call: reset()"},
        {[&] { form.call(kClear, {Value(1)}); }, kDispEBadParamCount, "call: clear(1)"},
        {[&] { form.call(kMediaState, {Value(1)}); }, kDispEBadParamCount, "get: mediaState"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.journal);
        device->clear_journal();
        const AutomationError e = error_from(c.access);
        EXPECT_EQ(e.hresult(), c.hresult);
        if (c.hresult == kDispEMemberNotFound) {
            EXPECT_EQ(e.number(), rt_error::kNoSuchMember);
        }
        EXPECT_EQ(device->journal(), std::vector<std::string>{c.journal});
    }
    // A refused call does not use up a reaction.
    EXPECT_EQ(i4(form.call(kClear)), 1);
    // Visual Basic's late binding may reach a method as a property get, and a property
    // through a method call.
    EXPECT_EQ(i4(form.control().get(kClear)), 2);
    EXPECT_EQ(str(form.call(kMediaState)), "NOMEDIA");
}

TEST_F(SimReaderTest, JournalWritesValuesAsTheContractShows) {
    start(R"({"on":{"eject":[{}],"query":[{}]}})");
    std::vector<std::string> echoed;
    device->on_journal = [&](const std::string& line) { echoed.push_back(line); };
    Form form = load_form();
    Value send("SEND");
    Value seven(int32_t{7});
    Value ref_to_ref = Value::by_ref(seven);
    struct Case {
        std::function<void()> access;
        const char* line;
    };
    auto eject = [&](Value v) { return [&form, v] { form.call(kEject, {v}); }; };
    const Case cases[] = {
        {[&] {
             form.call(kChipSend, {Value::by_ref(send), Value(int16_t{0}),
                                   doubles({0, 132, 0, 0, 4}), Value(-1)});
         },
         R"(call: chipSend("SEND", 0, [0, 132, 0, 0, 4], -1))"},
        {[&] { form.call(kReset, {Value("EJECT")}); }, R"(call: reset("EJECT"))"},
        {[&] { form.call(kOpen); }, "call: open()"},
        {[&] { form.control().put(kDeviceName, Value("CARDREADER_ZQICR")); },
         R"(put: deviceName = "CARDREADER_ZQICR")"},
        {[&] { form.get(kMediaState); }, "get: mediaState"},
        {[&] { form.call(kQuery, {Value("say \"hi\"\\\n\x01")}); },
         R"(call: query("say \"hi\"\\\n\u0001"))"},
        {[&] { form.call(kQuery, {Value("Grüße")}); }, "call: query(\"Grüße\")"},
        // Text that is not UTF-8 still makes a line; the bad byte shows as U+FFFD.
        {[&] { form.call(kQuery, {Value(std::string("a\xFF"))}); }, "call: query(\"a\uFFFD\")"},
        {eject(Value(0.5)), "call: eject(0.5)"},
        {eject(Value(0.1)), "call: eject(0.1)"},
        {eject(Value(-2.0)), "call: eject(-2)"},
        {eject(Value(-0.0)), "call: eject(0)"},
        {eject(Value(1e21)), "call: eject(1000000000000000000000)"},
        {eject(Value(1e-7)), "call: eject(0.0000001)"},
        {eject(Value(int16_t{-32768})), "call: eject(-32768)"},
        {eject(Value(int32_t{2147483647})), "call: eject(2147483647)"},
        {eject(Value(true)), "call: eject(true)"},
        {eject(Value(false)), "call: eject(false)"},
        {eject(Value(Null{})), "call: eject(null)"},
        {eject(Value()), "call: eject(empty)"},
        {eject(Value(ValueArray{Value(ValueArray{Value(1), Value("a")}), Value(ValueArray{})})),
         R"(call: eject([[1, "a"], []]))"},
        {eject(Value::by_ref(ref_to_ref)), "call: eject(7)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        device->clear_journal();
        c.access();
        EXPECT_EQ(device->journal(), std::vector<std::string>{c.line});
        EXPECT_EQ(echoed.back(), c.line);
    }
}

// ---------------------------------------------------------------------------------------
// The built-in reader

TEST(SimReaderBuiltIn, LatenciesAndStateChanges) {
    struct Expected {
        const char* event;
        int64_t at_ms;
        const char* media;  // as the handler sees it
    };
    struct Case {
        DispId id;
        ValueArray args;
        std::vector<Expected> events;
    };
    const Case cases[] = {
        {kOpen, {}, {{"ConnectionOpened", 100, "NOMEDIA"}}},
        {kReset, {Value("EJECT")}, {{"ResetComplete", 500, "NOMEDIA"}}},
        {kAcceptAndRead, {Value("1,2,3"), Value(-1)}, {{"CardAccepted", 1500, "PRESENT"}}},
        {kEject, {Value(-1)}, {{"CardEjected", 300, "INJAWS"}, {"CardTaken", 2300, "NOMEDIA"}}},
        {kRetain, {}, {{"CardCaptured", 800, "NOMEDIA"}}},
        {kCancelAccept, {}, {{"CardAcceptCancelled", 100, "NOMEDIA"}}},
        {kCancelWait, {}, {{"WaitCancelled", 0, "NOMEDIA"}}},
        {kClose, {}, {}},
        {kClear, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        VirtualClock clock;
        MessageLoop loop(clock);
        auto device = SimDevice::create(loop, builtin_scenario());
        auto object = device->create_control();
        auto sink = std::make_shared<RecordingSink>(clock, *device);
        dynamic_cast<EventSource&>(*object).advise(sink);
        ValueArray args = c.args;
        dynamic_cast<Dispatch&>(*object).call(c.id, args);
        EXPECT_TRUE(sink->deliveries.empty());  // nothing arrives inside the call
        loop.pump_for(10000);
        ASSERT_EQ(sink->deliveries.size(), c.events.size());
        for (size_t i = 0; i < c.events.size(); ++i) {
            EXPECT_EQ(sink->deliveries[i].name, c.events[i].event);
            EXPECT_EQ(sink->deliveries[i].at_ms, c.events[i].at_ms);
            EXPECT_EQ(sink->deliveries[i].media, c.events[i].media);
        }
    }
}

TEST_F(SimReaderTest, BuiltInAnswersReturnedAtOnce) {
    start(R"({"state":{"lastErrorCode":"E42"}})");
    Form form = load_form();
    EXPECT_EQ(i4(form.call(kAcceptAndRead, {Value("1,2,3"), Value(-1)})), 0);
    EXPECT_EQ(i4(form.call(kClear)), 0);
    EXPECT_EQ(str(form.call(kQuery, {Value("LastErrorCode")})), "E42");
    EXPECT_EQ(str(form.call(kQuery, {Value("SerialNumber")})), "");
    EXPECT_TRUE(form.call(kOpen).is_empty());
}

TEST_F(SimReaderTest, WriteTrackStoresTheTextWhenTheWriteCompletes) {
    start();
    Form form = load_form();
    Value text(";1234567890=1234?");
    form.call(kWriteTrack, {Value("2"), Value::by_ref(text)});
    text = Value("changed after the call");
    const std::string before = str(form.get(kTrack2Data));
    loop.pump_for(399);
    EXPECT_EQ(str(form.get(kTrack2Data)), before);
    loop.pump_for(1);
    EXPECT_EQ(form.sink->names(), std::vector<std::string>{"CardWritten"});
    EXPECT_EQ(str(form.get(kTrack2Data)), ";1234567890=1234?");
    EXPECT_EQ(str(form.get(kTrack1Data)), builtin_scenario().state.tracks[0].data);

    EXPECT_THROW(form.call(kWriteTrack, {Value("4"), Value::by_ref(text)}), AutomationError);
}

class CardModelTest : public SimReaderTest {
  protected:
    // Sends one command APDU the way the component does and returns the chip's reply.
    std::vector<int> send(const std::vector<int>& apdu) {
        const size_t before = form.sink->deliveries.size();
        Value command("SEND");
        form.call(kChipSend, {Value::by_ref(command), Value(int16_t{0}), doubles(apdu), Value(-1)});
        const int64_t called = clock.now_ms();
        loop.pump_for(99);
        EXPECT_EQ(form.sink->deliveries.size(), before);
        loop.pump_for(1);
        EXPECT_EQ(form.sink->deliveries.size(), before + 1);
        const auto& d = form.sink->deliveries.back();
        EXPECT_EQ(d.name, "ChipDataReceived");
        EXPECT_EQ(d.at_ms, called + 100);
        return bytes_of(d.args.at(1));
    }
    void SetUp() override {
        start();
        form = load_form();
    }
    Form form;
};

TEST_F(CardModelTest, ChipInitAnswersWithTheAnswerToReset) {
    Value command("INIT");
    form.call(kChipInit, {Value::by_ref(command)});
    loop.pump_for(299);
    EXPECT_TRUE(form.sink->deliveries.empty());
    loop.pump_for(1);
    ASSERT_EQ(form.sink->names(), std::vector<std::string>{"ChipDataReceived"});
    const auto atr = bytes_of(form.sink->deliveries[0].args[1]);
    EXPECT_EQ(atr, hex(kAnswerToReset));
    // TS says direct convention; T0 announces its interface bytes (no TD1, so T=0 and no
    // check byte) and the historical bytes that make up the rest.
    ASSERT_GE(atr.size(), 2u);
    EXPECT_EQ(atr[0], 0x3B);
    const int t0 = atr[1];
    EXPECT_EQ(t0 & 0x80, 0);
    const size_t interface_bytes = std::popcount(static_cast<unsigned>(t0 >> 4));
    EXPECT_EQ(atr.size(), 2 + interface_bytes + (t0 & 0x0F));
}

TEST_F(CardModelTest, AnswersPerInstruction) {
    std::vector<int> select_aid{0x00, 0xA4, 0x04, 0x00, 8};
    for (int b : hex(kCardApplicationId)) select_aid.push_back(b);
    std::vector<int> select_longer{0x00, 0xA4, 0x04, 0x00, 9};
    for (int b : hex(kCardApplicationId)) select_longer.push_back(b);
    select_longer.push_back(0x01);
    struct Case {
        const char* what;
        std::vector<int> apdu;
        size_t reply_size;
        std::vector<int> status;
    };
    const Case cases[] = {
        {"GET CHALLENGE 8", {0x00, 0x84, 0x00, 0x00, 0x08}, 10, {0x90, 0x00}},
        {"GET CHALLENGE 1", {0x00, 0x84, 0x00, 0x00, 0x01}, 3, {0x90, 0x00}},
        {"GET CHALLENGE Le 0 = 256", {0x00, 0x84, 0x00, 0x00, 0x00}, 258, {0x90, 0x00}},
        {"GET CHALLENGE without Le", {0x00, 0x84, 0x00, 0x00}, 2, {0x67, 0x00}},
        {"SELECT the application", select_aid, 2, {0x90, 0x00}},
        {"SELECT other application",
         {0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0, 0, 0, 0x03},
         2,
         {0x6A, 0x82}},
        {"SELECT with a bad Lc", {0x00, 0xA4, 0x04, 0x00, 0x09, 0xA0}, 2, {0x67, 0x00}},
        {"READ BINARY", {0x00, 0xB0, 0x00, 0x00, 0x10}, 2, {0x6D, 0x00}},
        {"GET DATA", {0x80, 0xCA, 0x9F, 0x17, 0x00}, 2, {0x6D, 0x00}},
        {"SELECT a longer name", select_longer, 2, {0x6A, 0x82}},
        {"too short", {0x00, 0x84, 0x00}, 2, {0x67, 0x00}},
        {"too short for any instruction", {0x00, 0xCA, 0x9F}, 2, {0x67, 0x00}},
        {"empty", {}, 2, {0x67, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto reply = send(c.apdu);
        ASSERT_EQ(reply.size(), c.reply_size);
        EXPECT_EQ(std::vector<int>(reply.end() - 2, reply.end()), c.status);
    }
    // With Le appended (case 4) the application is still found.
    select_aid.push_back(0x00);
    EXPECT_EQ(send(select_aid), (std::vector<int>{0x90, 0x00}));
}

TEST_F(CardModelTest, ChallengesComeFromTheSeededGenerator) {
    const auto first = send({0x00, 0x84, 0x00, 0x00, 0x08});
    const auto second = send({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_NE(first, second);

    auto replay = [this](uint32_t seed) {
        VirtualClock c;
        MessageLoop l(c);
        auto d = SimDevice::create(l, builtin_scenario(), seed);
        auto object = d->create_control();
        auto sink = std::make_shared<RecordingSink>(c, *d);
        dynamic_cast<EventSource&>(*object).advise(sink);
        Value command("SEND");
        ValueArray args{Value::by_ref(command), Value(int16_t{0}),
                        doubles({0x00, 0x84, 0x00, 0x00, 0x08}), Value(-1)};
        dynamic_cast<Dispatch&>(*object).call(kChipSend, args);
        l.pump_for(100);
        return bytes_of(sink->deliveries.at(0).args.at(1));
    };
    EXPECT_EQ(replay(0x5EED), first);
    EXPECT_NE(replay(1234), first);
}

TEST_F(CardModelTest, CommandOfNonBytesFailsTheCall) {
    Value command("SEND");
    ValueArray bad_byte{Value::by_ref(command), Value(int16_t{0}), doubles({0, 0x84, 0, 300}),
                        Value(-1)};
    EXPECT_THROW(form.call(kChipSend, bad_byte), AutomationError);
    EXPECT_THROW(
        form.call(kChipSend, {Value::by_ref(command), Value(int16_t{0}), Value("00A4"), Value(-1)}),
        AutomationError);
    loop.pump_for(1000);
    EXPECT_TRUE(form.sink->deliveries.empty());
}

}  // namespace
}  // namespace czqic::sim
