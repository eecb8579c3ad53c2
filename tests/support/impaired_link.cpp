#include "impaired_link.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <queue>
#include <random>
#include <vector>

namespace
{

const char kNearAddress[] = "10.77.0.1";
const char kFarAddress[] = "10.77.0.2";

bool Shell(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

int OpenTun(const char *name)
{
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    request.ifr_flags = IFF_TUN | IFF_NO_PI; // whole IP packets, nothing in front
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &request) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Brings up loopback and the TUN device name with address, and an empty nftables input chain for
// Vanish. Returns "" or what failed.
std::string SetUpNamespace(const char *name, const char *address)
{
    if (!Shell("ip link set lo up") ||
        !Shell(std::string("ip addr add ") + address + "/24 dev " + name + " && ip link set " + name + " up"))
        return "ip (iproute2) could not set up the namespace";
    if (!Shell("nft add table inet vanish") ||
        !Shell("nft 'add chain inet vanish input { type filter hook input priority 0 ; }'"))
        return "nft (nftables) could not make a filter chain";
    return "";
}

int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

ImpairedLink::~ImpairedLink()
{
    stop_ = true;
    if (emulator_.joinable())
        emulator_.join();
    for (int fd : {near_, far_, farNamespace_})
        if (fd >= 0)
            close(fd);
}

std::string ImpairedLink::Make(const LinkProfile &profile, unsigned seed)
{
    profile_ = profile;
    seed_ = seed;
    if (geteuid() != 0)
        return "making network namespaces needs root";
    if (access("/dev/net/tun", R_OK | W_OK) != 0)
        return std::string("no TUN devices: /dev/net/tun: ") + std::strerror(errno);
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("no network namespace: unshare(CLONE_NEWNET): ") + std::strerror(errno);
    near_ = OpenTun("kvnear");
    if (near_ < 0)
        return std::string("no TUN device: ") + std::strerror(errno);
    std::string failed = SetUpNamespace("kvnear", kNearAddress);
    if (!failed.empty())
        return failed;
    // The far namespace belongs to a thread of its own; its servers are made from threads that
    // join it for the moment (sockets stay in the namespace they were made in).
    std::thread([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            failed = std::string("no second network namespace: ") + std::strerror(errno);
            return;
        }
        far_ = OpenTun("kvfar");
        farNamespace_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        failed = far_ < 0 || farNamespace_ < 0 ? std::string("no far TUN device: ") + std::strerror(errno)
                                               : SetUpNamespace("kvfar", kFarAddress);
    }).join();
    if (!failed.empty())
        return failed;
    emulator_ = std::thread([this] { Carry(); });
    return "";
}

void ImpairedLink::InServerNamespace(const std::function<void()> &run)
{
    std::thread([&] {
        if (setns(farNamespace_, CLONE_NEWNET) == 0)
            run();
        else
            ADD_FAILURE() << "setns: " << std::strerror(errno);
    }).join();
}

std::unique_ptr<ScriptServer> ImpairedLink::NewServer()
{
    std::unique_ptr<ScriptServer> server;
    InServerNamespace([&] { server.reset(new ScriptServer(0, kFarAddress)); });
    return server;
}

void ImpairedLink::Vanish(const ScriptServer &server)
{
    const std::string port = std::to_string(server.Port());
    EXPECT_TRUE(Shell("nft add rule inet vanish input tcp sport " + port + " drop"));
    InServerNamespace([&] { EXPECT_TRUE(Shell("nft add rule inet vanish input tcp dport " + port + " drop")); });
}

// The emulator: packets read from one TUN device are written to the other when they are due.
void ImpairedLink::Carry()
{
    struct Packet {
        int64_t dueUs;
        uint64_t order; // among packets due at once, the first read goes first
        int to;
        std::vector<uint8_t> bytes;
        bool operator<(const Packet &other) const
        {
            return dueUs != other.dueUs ? dueUs > other.dueUs : order > other.order;
        }
    };
    struct Direction {
        int from = -1, to = -1;
        int64_t linkFreeUs = 0;         // when the rate limit has sent everything so far
        std::deque<int64_t> departures; // of the packets still waiting for the rate limit
    };
    Direction ways[2];
    ways[0].from = ways[1].to = near_;
    ways[0].to = ways[1].from = far_;
    std::priority_queue<Packet> inFlight;
    uint64_t order = 0;
    std::mt19937 random(seed_);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const LinkProfile &p = profile_;
    const bool episodes = p.episodeEveryMaxMs > 0;
    int64_t episodeStart = 0, episodeEnd = NowUs();
    std::vector<uint8_t> buffer(65536);

    while (!stop_) {
        int64_t now = NowUs();
        while (!inFlight.empty() && inFlight.top().dueUs <= now) {
            const Packet &due = inFlight.top();
            (void)!write(due.to, due.bytes.data(), due.bytes.size());
            inFlight.pop();
        }
        int waitMs = 20; // also how soon a stop is noticed
        if (!inFlight.empty())
            waitMs = static_cast<int>(std::min<int64_t>(waitMs, (inFlight.top().dueUs - now + 999) / 1000));
        pollfd readable[2] = {{near_, POLLIN, 0}, {far_, POLLIN, 0}};
        if (poll(readable, 2, waitMs) <= 0)
            continue;
        now = NowUs();
        if (episodes && now >= episodeEnd) {
            episodeStart = episodeEnd + 1000LL * between(p.episodeEveryMinMs, p.episodeEveryMaxMs);
            episodeEnd = episodeStart + 1000LL * between(p.episodeMinMs, p.episodeMaxMs);
        }
        const double loss = episodes && now >= episodeStart ? p.episodeLoss : p.loss;
        for (int w = 0; w < 2; ++w) {
            Direction &way = ways[w];
            ssize_t got;
            while (readable[w].revents & POLLIN && (got = read(way.from, buffer.data(), buffer.size())) > 0) {
                if (chance(random) < loss)
                    continue;
                int64_t departs = now;
                if (p.rateBitsPerSecond > 0) {
                    while (!way.departures.empty() && way.departures.front() <= now)
                        way.departures.pop_front();
                    if (static_cast<int>(way.departures.size()) >= p.queuePackets)
                        continue; // the queue is full: dropped at its tail
                    departs = std::max(now, way.linkFreeUs) + got * 8000000LL / p.rateBitsPerSecond;
                    way.linkFreeUs = departs;
                    way.departures.push_back(departs);
                }
                const int64_t delayUs =
                    chance(random) < p.reorder ? 0 : 1000LL * between(p.delayMs - p.jitterMs, p.delayMs + p.jitterMs);
                const std::vector<uint8_t> bytes(buffer.begin(), buffer.begin() + got);
                inFlight.push({departs + delayUs, order++, way.to, bytes});
                if (chance(random) < p.duplicate)
                    inFlight.push({departs + delayUs + 1000, order++, way.to, bytes});
            }
        }
    }
}
