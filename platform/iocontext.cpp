#include "platform/iocontext.h"

#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/deliveryqueue.h"

namespace Platform {

IoContext::IoContext()
    : work_(boost::asio::make_work_guard(context_)), thread_([this] {
          // Completions here post continuations and events by the burst.
          DeliveryQueue completions;
          ThreadPool::Funnel funnel(completions);
          for (;;) {
              try {
                  context_.run();
                  return;
              } catch (...) {
                  // A handler that raised must not stop every connection of the process.
              }
          }
      }) {}

IoContext::~IoContext() {
    work_.reset();
    context_.stop();
    if (thread_.joinable()) thread_.join();
}

IoContext& IoContext::instance() {
    static Immortal<IoContext> io;
    return *io;
}

boost::asio::io_context& IoContext::get() {
    return instance().context_;
}

}  // namespace Platform
