// Blocks a test until an asynchronous operation has finished, then returns its results.
#pragma once

#include <memory>

#include "platform/Apartment.h"
#include "platform/Async.h"

namespace test_support {

template <typename Operation>
auto BlockOn(const Operation& operation) {
    if (operation.Status() == platform::AsyncStatus::Started) {
        auto finished = std::make_shared<platform::Event>();
        operation.Completed([finished](const auto&, platform::AsyncStatus) { finished->Set(); });
        finished->Wait();
    }
    return operation.GetResults();
}

}  // namespace test_support
