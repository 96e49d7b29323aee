// The interpreter lock, released for the length of a scope.
#pragma once

#include <Python.h>

namespace kestrune {

// Releases the interpreter lock for a scope when the calling thread holds it;
// a thread that does not hold it is left as it is.
class GilRelease {
public:
    GilRelease() {
        if (PyGILState_Check()) state_ = PyEval_SaveThread();
    }
    ~GilRelease() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_ = nullptr;
};

}  // namespace kestrune
