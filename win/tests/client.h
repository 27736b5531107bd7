// What the test clients that run under Wine share beyond GoogleTest: each is a COM client
// whose main thread is a single-threaded apartment (client.cpp holds main()), and some
// let the servers' window timers and posted messages run for a while.
#pragma once

namespace czqic::win::testing {

// Dispatches the thread's messages as they arrive for ms milliseconds of real time.
void pump_for(unsigned long ms);

}  // namespace czqic::win::testing
