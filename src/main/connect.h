// Opening the control connection to the service, the first step of every
// session.
#pragma once

#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin {

// Resolves service_host():service_port() on the blocking pool and tries the
// addresses in order. The socket is created on a strand of the worker pool
// (asio::make_strand(worker_executor())), so the forwarder's reader and
// writer tasks can later share it safely.
awaitable<Result<asio::ip::tcp::socket>> connect_to_service();

}  // namespace vostrelin
