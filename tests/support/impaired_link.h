// A bad network between two network namespaces that the test makes itself (Linux, root): the test
// process's own namespace holds the library's sockets, a second one holds the device servers, and
// a small link emulator joins their TUN devices, carrying every packet across with delay, jitter,
// loss, loss episodes (outages, bursts), reordering, duplication and a rate limit with a short
// queue, as the profile says. Every server of the far side is made with NewServer; Vanish makes
// one disappear (an nftables rule in each namespace's input hook drops its packets both ways).
#ifndef KALVICOM_TESTS_IMPAIRED_LINK_H
#define KALVICOM_TESTS_IMPAIRED_LINK_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "script_server.h"

// What the link does to each packet, the same each way.
struct LinkProfile {
    const char *name;
    int delayMs;           // one way
    int jitterMs;          // the delay is spread evenly over delayMs +- jitterMs
    double loss;           // chance that a packet is lost
    double reorder;        // chance that a packet skips the delay (and so overtakes others)
    double duplicate;      // chance that a packet arrives twice
    int rateBitsPerSecond; // 0: as fast as the machine goes
    int queuePackets;      // packets waiting for the rate limit; one more is dropped
    // Episodes: after a normal stretch of episodeEveryMs (min..max), a stretch of episodeMs
    // (min..max) in which each packet is lost with episodeLoss (1: an outage).
    int episodeEveryMinMs, episodeEveryMaxMs, episodeMinMs, episodeMaxMs;
    double episodeLoss;
};

class ImpairedLink
{
  public:
    ImpairedLink() = default;
    ~ImpairedLink();
    ImpairedLink(const ImpairedLink &) = delete;
    ImpairedLink &operator=(const ImpairedLink &) = delete;

    // Moves the calling thread (make it the main thread, before any other exists) into a new
    // namespace, makes the servers' namespace and starts the link. Returns "" when all is ready,
    // otherwise why the test cannot run here.
    std::string Make(const LinkProfile &profile, unsigned seed);

    // A scripted server in the far namespace; its Address() is reached through the link.
    std::unique_ptr<ScriptServer> NewServer();
    // From now on every packet from or to server's port is lost, both ways.
    void Vanish(const ScriptServer &server);

  private:
    void InServerNamespace(const std::function<void()> &run);
    void Carry();

    LinkProfile profile_{};
    unsigned seed_ = 0;
    int near_ = -1, far_ = -1; // the two TUN devices
    int farNamespace_ = -1;
    std::atomic<bool> stop_{false};
    std::thread emulator_;
};

#endif
