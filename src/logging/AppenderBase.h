#pragma once

#include <memory>

#include "logging/IAppender.h"

namespace Tarvent::VirtualChannel {

// Holds an appender's layout; derived classes write the records.
class AppenderBase : public IAppender {
public:
    void setLayout(std::unique_ptr<ILayout> layout) override { layout_ = std::move(layout); }
    ILayout* getLayout() override { return layout_.get(); }

private:
    std::unique_ptr<ILayout> layout_;
};

}  // namespace Tarvent::VirtualChannel
