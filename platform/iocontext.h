#pragma once
#include <boost/asio/io_context.hpp>
#include <memory>
#include <thread>

#include <TarvikFoundation/platform/immortal.h>

namespace Platform {

/// The process-wide I/O thread that runs every socket of the app-service transports.
class IoContext {
  public:
    static boost::asio::io_context& get();

    IoContext(const IoContext&) = delete;
    IoContext& operator=(const IoContext&) = delete;
    ~IoContext();

  private:
    friend class Platform::Immortal<IoContext>;
    IoContext();
    static IoContext& instance();
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
};

}  // namespace Platform
