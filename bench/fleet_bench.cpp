// The fleet's figures, on stores whose agents scripts/bench has started
// against a three-member cluster:
//   fleet_bench cross A B C D       a KXsetglobal on A seen by a get on B,
//                                   whose agents keep the ledger, beside the
//                                   same from C to D, whose agents do not
//   fleet_bench fanout ENDPOINT FLEET STORE...  one put seen by every store
//   fleet_bench load ENDPOINT FLEET STORE   cached gets, idle and while the
//                                           agent applies 1,000 changes/s
// Each store is read, and set, by a process of its own (the library serves
// one store per process), forked before the library is first used; it
// reports the moment it saw or set a value through a pipe. Puts go to
// etcd's JSON gateway.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kxenv/kxenv.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Clock::now().time_since_epoch())
      .count();
}

// Not released: a record handed back to the library leaves its cache.
std::string Get(const char* name) {
  char* value = KXgetglobal(name);
  return value ? value : "";
}

// A reader of one store: for each round r, waits until `name` reads "r"
// and writes the moment to `out`.
pid_t Reader(const std::string& store, const char* name, int rounds, int out,
             int poll_us) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setenv("KX_REGISTRY", store.c_str(), 1);
  for (int r = 0; r < rounds; ++r) {
    std::string want = std::to_string(r);
    int64_t limit = Now() + 30'000'000'000;
    while (Get(name) != want && Now() < limit) usleep(poll_us);
    int64_t seen = Now() < limit ? Now() : -1;
    if (write(out, &seen, sizeof seen) != sizeof seen) _exit(1);
  }
  _exit(0);
}

// A setter of one store: for each round number read from `in`, sets `name`
// to it and writes the moment to `out`; a negative number ends it.
pid_t Setter(const std::string& store, const char* name, int in, int out) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setenv("KX_REGISTRY", store.c_str(), 1);
  for (int r = 0; read(in, &r, sizeof r) == sizeof r && r >= 0;) {
    int64_t set = Now();
    KXsetglobal(name, std::to_string(r).c_str());
    if (write(out, &set, sizeof set) != sizeof set) _exit(1);
  }
  _exit(0);
}

std::string Base64(const std::string& in) {
  static const char k[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += k[n >> 18 & 63];
    out += k[n >> 12 & 63];
    out += i + 1 < in.size() ? k[n >> 6 & 63] : '=';
    out += i + 2 < in.size() ? k[n & 63] : '=';
  }
  return out;
}

// A kept-alive HTTP connection to etcd's gateway (POST /v3/kv/put).
struct Gateway {
  int fd = -1;
  std::string host;
  explicit Gateway(const std::string& endpoint) {
    std::string address = endpoint.substr(endpoint.find("//") + 2);
    size_t colon = address.find(':');
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(std::atoi(address.c_str() + colon + 1));
    inet_pton(AF_INET, address.substr(0, colon).c_str(), &where.sin_addr);
    fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    host = address;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
      std::perror("fleet_bench: connect");
      std::exit(1);
    }
  }
  ~Gateway() { close(fd); }
  // Returns etcd's reply, whose header holds the put's revision.
  std::string Put(const std::string& key, const std::string& value) {
    std::string body =
        "{\"key\":\"" + Base64(key) + "\",\"value\":\"" + Base64(value) + "\"}";
    std::string request = "POST /v3/kv/put HTTP/1.1\r\nHost: " + host +
                          "\r\nContent-Type: application/json\r\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    if (write(fd, request.data(), request.size()) < 0) std::exit(1);
    std::string reply;
    char chunk[4096];
    for (;;) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) std::exit(1);
      reply.append(chunk, n);
      size_t end = reply.find("\r\n\r\n");
      size_t length = reply.find("Content-Length: ");
      if (end != std::string::npos && length != std::string::npos &&
          reply.size() >= end + 4 + std::atoi(reply.c_str() + length + 16)) {
        return reply;
      }
    }
  }
};

void Report(const char* what, std::vector<double> ms, const char* target) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s median %7.2f ms  worst %7.2f ms  (%zu)  %s\n", what,
              ms[ms.size() / 2], ms.back(), ms.size(), target);
}

// One pair of machines: a setter on one, a reader on the other.
struct Pair {
  int go[2], set[2], seen[2];
  pid_t setter, reader;
  std::vector<double> ms;
  Pair(const std::string& from, const std::string& to, int rounds) {
    if (pipe(go) != 0 || pipe(set) != 0 || pipe(seen) != 0) std::exit(1);
    reader = Reader(to, "KXB_CROSS", rounds, seen[1], 100);
    setter = Setter(from, "KXB_CROSS", go[0], set[1]);
  }
  bool Round(int r) {
    int64_t at = 0, seen_at = 0;
    if (write(go[1], &r, sizeof r) != sizeof r ||
        read(set[0], &at, sizeof at) != sizeof at ||
        read(seen[0], &seen_at, sizeof seen_at) != sizeof seen_at ||
        seen_at < 0) {
      return false;
    }
    ms.push_back((seen_at - at) / 1e6);
    return true;
  }
  ~Pair() {
    int end = -1;
    if (write(go[1], &end, sizeof end) != sizeof end) kill(setter, SIGKILL);
    waitpid(setter, nullptr, 0);
    waitpid(reader, nullptr, 0);
  }
};

// The two pairs take turns, so that both meet the same load of the box.
int Cross(const std::string& a, const std::string& b, const std::string& c,
          const std::string& d) {
  const int rounds = 50;
  Pair with(a, b, rounds), without(c, d, rounds);
  for (int r = 0; r < rounds; ++r) {
    for (Pair* pair : {&with, &without}) {
      if (!pair->Round(r)) {
        std::printf("a set: not seen on the other machine within 30 s\n");
        return 1;
      }
      usleep(20000);
    }
  }
  Report("set on A, seen by a get on B", with.ms, "target median <= 10 ms");
  Report("the same, agents without the ledger", without.ms, "");
  std::sort(with.ms.begin(), with.ms.end());
  std::sort(without.ms.begin(), without.ms.end());
  std::printf("%-44s %5.2f x  target <= 1.2x\n", "the ledger's cost (medians)",
              with.ms[rounds / 2] / without.ms[rounds / 2]);
  return 0;
}

int64_t EpochMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int Fanout(const std::string& endpoint, const std::string& fleet,
           const std::vector<std::string>& stores) {
  const int rounds = 5;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return 1;
  std::vector<pid_t> readers;
  for (const std::string& store : stores) {
    readers.push_back(Reader(store, "KXB_FANOUT", rounds, pipe_fds[1], 5000));
  }
  Gateway gateway(endpoint);
  std::vector<double> each, last;
  std::string reply;
  int64_t put_ms = 0;
  for (int r = 0; r < rounds; ++r) {
    int64_t put = Now();
    put_ms = EpochMs();
    reply = gateway.Put("/kx-orrery/" + fleet + "/global/KXB_FANOUT",
                        std::to_string(r));
    double worst = 0;
    for (size_t i = 0; i < stores.size(); ++i) {
      int64_t seen = 0;
      if (read(pipe_fds[0], &seen, sizeof seen) != sizeof seen || seen < 0) {
        std::printf("one put: a machine did not see it within 30 s\n");
        return 1;
      }
      each.push_back((seen - put) / 1e6);
      worst = std::max(worst, each.back());
    }
    last.push_back(worst);
    usleep(200000);
  }
  for (pid_t reader : readers) waitpid(reader, nullptr, 0);
  std::string what =
      "one put, seen on each of " + std::to_string(stores.size());
  Report(what.c_str(), each, "");
  Report("one put, seen on all (per put)", last, "");
  // For the ledger's account of the last put (scripts/lib/bench-fleet.sh).
  size_t at = reply.find("\"revision\":\"");
  std::printf(
      "last put: revision %lld at %lld ms\n",
      at == std::string::npos ? 0LL : std::atoll(reply.c_str() + at + 12),
      static_cast<long long>(put_ms));
  return 0;
}

int64_t CpuNow() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Nanoseconds per cached get, wall clock and this thread's CPU time,
// medians of 20 batches of 20,000. On this box the three members and the
// load run beside the reader, so the wall clock also counts the time the
// reader waits for a core; its CPU time is what the gets cost it.
struct Cost {
  double wall, cpu;
};
Cost CachedGet() {
  std::vector<double> wall, cpu;
  for (int b = 0; b < 20; ++b) {
    int64_t start = Now(), cpu_start = CpuNow();
    for (int i = 0; i < 20000; ++i) KXgetglobal("KXB_STILL");
    wall.push_back((Now() - start) / 20000.0);
    cpu.push_back((CpuNow() - cpu_start) / 20000.0);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

int Load(const std::string& endpoint, const std::string& fleet,
         const std::string& store) {
  setenv("KX_REGISTRY", store.c_str(), 1);
  KXsetglobal("KXB_STILL", "1");
  Cost idle = CachedGet();
  std::atomic<bool> stop{false};
  std::atomic<int> puts{0};
  // Four connections at 250 puts a second each: one put takes about as
  // long as the interval on three members.
  std::vector<std::thread> load;
  for (int t = 0; t < 4; ++t) {
    load.emplace_back([&, t] {
      Gateway gateway(endpoint);
      auto next = Clock::now();
      for (int i = 0; !stop; ++i) {
        gateway.Put("/kx-orrery/" + fleet + "/global/KXB_LOAD" +
                        std::to_string(t * 25 + i % 25),
                    std::to_string(i));
        ++puts;
        next += std::chrono::milliseconds(4);
        std::this_thread::sleep_until(next);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto start = Clock::now();
  int before = puts;
  Cost busy = CachedGet();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  for (std::thread& thread : load) thread.join();
  double rate = (puts - before) / seconds;
  std::printf("%-44s idle %7.0f ns  busy %7.0f ns  %5.2f x  (%.0f puts/s)\n",
              "cached get, wall clock", idle.wall, busy.wall,
              busy.wall / idle.wall, rate);
  std::printf("%-44s idle %7.0f ns  busy %7.0f ns  %5.2f x  target <= 2x\n",
              "cached get, the reader's CPU time", idle.cpu, busy.cpu,
              busy.cpu / idle.cpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 5 && args[0] == "cross") {
    return Cross(args[1], args[2], args[3], args[4]);
  }
  if (args.size() >= 4 && args[0] == "fanout") {
    return Fanout(args[1], args[2], {args.begin() + 3, args.end()});
  }
  if (args.size() == 4 && args[0] == "load")
    return Load(args[1], args[2], args[3]);
  std::fprintf(stderr, "usage: fleet_bench cross|fanout|load ...\n");
  return 2;
}
