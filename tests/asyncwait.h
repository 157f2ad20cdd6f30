#pragma once
// Bounded waits on the platform's asynchronous operations: a lost answer fails its
// case instead of hanging the program.
#include <chrono>

#include <TarvikFoundation/platform/async.h>

#include "testsupport.h"

namespace TestSupport {

// True once the operation has ended (completed, cancelled or failed) within `limit`.
template <class T>
bool endsWithin(const Platform::IAsyncOperation<T>& op,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    return eventually([&] { return op.Status() != Platform::AsyncStatus::Started; }, limit);
}

}  // namespace TestSupport
