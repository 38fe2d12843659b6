// The interpreter lock let go of around the io layer's blocking waits.
#pragma once

#include <Python.h>

#include "blocking.hpp"

namespace valdrin::py {

// Blocking hooks that release the interpreter lock when a wait begins and
// take it back when it is over, so that other Python threads run meanwhile
// (the io threads never need the lock). Used only by the thread that holds
// the lock, for one call at a time.
class GilRelease final : public io::Blocking {
public:
    void enter() noexcept override { saved_ = PyEval_SaveThread(); }
    void leave() noexcept override { PyEval_RestoreThread(saved_); }

private:
    PyThreadState* saved_ = nullptr;
};

}  // namespace valdrin::py
