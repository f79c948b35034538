// The plainest packet-queue reader there is: it binds one queue, copies each
// packet whole, and accepts it with a verdict of its own, one receive and one
// verdict per packet: the anchor the benchmark measures the limiter against.
#ifndef KESTRUNE_BENCH_ACCEPT_ALL_READER_H
#define KESTRUNE_BENCH_ACCEPT_ALL_READER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

struct mnl_socket;

namespace kestrune::bench {

class AcceptAllReader {
public:
    AcceptAllReader() = default;
    ~AcceptAllReader();
    AcceptAllReader(const AcceptAllReader &) = delete;
    AcceptAllReader &operator=(const AcceptAllReader &) = delete;

    // Binds `queue` in the calling thread's network namespace; false, with
    // error(), when the kernel refuses.
    bool bind(uint16_t queue);
    const std::string &error() const { return error_; }

    // Accepts every packet on a thread of its own until stop().
    void start();
    void stop();

    uint64_t packets() const { return packets_.load(std::memory_order_relaxed); }
    // CPU time of the reading thread so far, in seconds; 0 before start.
    double cpu_seconds() const;

private:
    void run();

    mnl_socket *socket_ = nullptr;
    uint16_t queue_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> packets_{0};
    std::string error_;
};

} // namespace kestrune::bench

#endif
