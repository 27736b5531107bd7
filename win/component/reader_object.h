// The COM object of the class ColsZQICCardReader: the dual interface whose slots and
// whose IDispatch both reach the core's member table, error information for failing
// properties, the connection point of the (never raised) event interface, and the class
// description script hosts use to connect to it.
#pragma once

#include <windows.h>

#include <ole2.h>

namespace czqic::win {

// The class factory's creation: runs the class's object creation on the calling
// thread's runtime. A refusal (the control cannot be created) throws its error.
HRESULT create_reader_object(REFIID iid, void** out);

}  // namespace czqic::win
