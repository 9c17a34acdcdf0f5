#pragma once

#include <memory>

#include "logging/ILayout.h"

namespace Tarvent::VirtualChannel {

struct LogRecord;

// A log destination. The Logger calls append() on the logging thread with its
// own lock held, once per record, in record order; append() may throw (the
// Logger drops it) and must not keep the record beyond the call.
class IAppender {
public:
    virtual ~IAppender() = default;
    // Takes ownership of `layout` and deletes the one held before.
    virtual void setLayout(std::unique_ptr<ILayout> layout) = 0;
    // The held layout (owned by the appender), or null.
    virtual ILayout* getLayout() = 0;
    virtual void append(const LogRecord& record) = 0;
};

}  // namespace Tarvent::VirtualChannel
