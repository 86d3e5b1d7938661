// The agent against a real etcd: a cluster of three members on loopback
// ports, each a process started and killed by pid, and machines that are
// each a store of their own with its agent. Skipped where etcd is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "kxenv/kxenv.h"
#include "testing.h"

namespace {

using namespace std::chrono_literals;

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// Starts a program with its output to `log`, in the environment given.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log,
            const std::string& registry = "") {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    if (!registry.empty()) setenv("KX_REGISTRY", registry.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void Stop(pid_t& pid, int signal = SIGKILL) {
  if (pid <= 0) return;
  kill(pid, signal);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

std::string Sh(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  char chunk[4096];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe))
    output.append(chunk, n);
  int rc = pclose(pipe);
  if (status) *status = WEXITSTATUS(rc);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

bool Eventually(const std::function<bool()>& done,
                std::chrono::seconds limit = 20s) {
  for (auto end = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(50ms)) {
    if (done()) return true;
  }
  return done();
}

struct Cluster {
  std::string dir = kxtest::MakeTempDir("etcd");
  int client[3], peer[3];
  pid_t pid[3] = {-1, -1, -1};
  Cluster() {
    for (int i = 0; i < 3; ++i) client[i] = FreePort(), peer[i] = FreePort();
    for (int i = 0; i < 3; ++i) Start(i);
  }
  ~Cluster() {
    for (pid_t& member : pid) Stop(member);
  }
  std::string Url(int i, const int* ports) const {
    return "http://127.0.0.1:" + std::to_string(ports[i]);
  }
  std::string Endpoints() const {
    return Url(0, client) + "," + Url(1, client) + "," + Url(2, client);
  }
  void Start(int i) {
    std::string name = "m" + std::to_string(i), everyone;
    for (int j = 0; j < 3; ++j) {
      everyone += (j ? ",m" : "m") + std::to_string(j) + "=" + Url(j, peer);
    }
    pid[i] = Spawn(
        {"etcd", "--name", name, "--data-dir", dir + "/" + name,
         "--listen-client-urls", Url(i, client), "--advertise-client-urls",
         Url(i, client), "--listen-peer-urls", Url(i, peer),
         "--initial-advertise-peer-urls", Url(i, peer), "--initial-cluster",
         everyone, "--heartbeat-interval", "50", "--election-timeout", "500"},
        dir + "/" + name + ".log");
  }
  std::string Ctl(const std::string& args) const {
    return Sh("ETCDCTL_API=3 etcdctl --command-timeout=3s --endpoints " +
              Endpoints() + " " + args);
  }
  // The fleet's Global value of a variable, and the values that lost.
  std::string Global(const std::string& name) const {
    return Ctl("get --print-value-only /kx-orrery/f/global/" + name);
  }
  std::string Conflicts() const {
    return Ctl("get --print-value-only --prefix /kx-orrery/f/conflicts/");
  }
  int Leader() const {
    auto status =
        nlohmann::json::parse(Ctl("endpoint status -w json"), nullptr, false);
    if (!status.is_array()) return -1;
    for (const auto& member : status) {
      if (member["Status"]["header"]["member_id"] ==
          member["Status"]["leader"]) {
        for (int i = 0; i < 3; ++i) {
          if (member["Endpoint"] == Url(i, client)) return i;
        }
      }
    }
    return -1;
  }
};

struct Machine {
  std::string store = kxtest::MakeTempDir("machine");
  pid_t agent = -1;
  ~Machine() { Stop(agent); }
  std::string Tool(const std::string& args, int* status = nullptr) const {
    return Sh("KX_REGISTRY=" + store + " " KX_TOOL " " + args, status);
  }
  std::string Get(const std::string& name) const {
    return Tool("get --global " + name);
  }
  void Set(const std::string& name, const std::string& value) const {
    Tool("set --global " + name + " " + value);
  }
  bool Sees(const std::string& name, const std::string& value,
            std::chrono::seconds limit = 20s) const {
    return Eventually([&] { return Get(name) == value; }, limit);
  }
  void Start(const Cluster& cluster) {
    agent =
        Spawn({KX_TOOL, "sync", "--endpoints", cluster.Endpoints(), "--fleet",
               "f", "--machine", "m" + std::to_string(getpid()) + store.back()},
              store + "/agent.log", store);
  }
  std::string Log() const {
    std::ifstream file(store + "/agent.log");
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
};

class Fleet : public testing::Test {
 protected:
  void SetUp() override {
    if (Sh("command -v etcd").empty()) GTEST_SKIP() << "etcd is not installed";
    ASSERT_TRUE(Eventually([&] { return cluster.Leader() >= 0; }))
        << "no leader";
    ASSERT_EQ(
        a.Tool("sync --create --fleet f --endpoints " + cluster.Endpoints()),
        "");
    a.Start(cluster);
    b.Start(cluster);
  }
  Cluster cluster;
  Machine a, b;
};

TEST_F(Fleet, EveryAgentConvergesAfterTheLeaderIsKilledDuringPuts) {
  std::thread puts([&] {
    for (int i = 0; i < 40; ++i) {
      cluster.Ctl("put /kx-orrery/f/global/KXT_" + std::to_string(i % 8) + " " +
                  std::to_string(i));
    }
  });
  std::this_thread::sleep_for(300ms);
  int leader = cluster.Leader();
  ASSERT_GE(leader, 0);
  Stop(cluster.pid[leader]);
  puts.join();
  for (int k = 0; k < 8; ++k) {
    std::string name = "KXT_" + std::to_string(k);
    std::string value = cluster.Global(name);
    for (const Machine* m : {&a, &b}) {
      EXPECT_TRUE(m->Sees(name, value))
          << name << ": etcd " << value << ", machine " << m->Get(name);
    }
  }
}

TEST_F(Fleet, WithoutQuorumGetsAnswerAndSetsWaitForIt) {
  b.Set("KXT_Q", "before");
  ASSERT_TRUE(a.Sees("KXT_Q", "before"));
  int leader = cluster.Leader();
  Stop(cluster.pid[leader]);
  Stop(cluster.pid[(leader + 1) % 3]);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(a.Get("KXT_Q"), "before");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  int status = -1;
  a.Tool("set --global KXT_Q during", &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Eventually([&] {
    return a.Tool("sync --status --fleet f").find("pending    1") !=
           std::string::npos;
  }));
  std::this_thread::sleep_for(4s);  // past the agent's call timeout
  cluster.Start(leader);
  cluster.Start((leader + 1) % 3);
  EXPECT_TRUE(b.Sees("KXT_Q", "during", 40s)) << a.Log();
}

TEST_F(Fleet, AnAgentBehindACompactionReadsEverythingAgain) {
  a.Set("KXT_GONE", "old");
  a.Set("KXT_BOTH", "old");
  ASSERT_TRUE(b.Sees("KXT_BOTH", "old"));
  b.Tool("set KXT_GONE local");  // a Local value survives the resync
  Stop(b.agent, SIGTERM);
  b.Set("KXT_BOTH", "mine");  // loses to etcd's change
  cluster.Ctl("del /kx-orrery/f/global/KXT_GONE");
  cluster.Ctl("put /kx-orrery/f/global/KXT_BOTH theirs");
  std::string revision =
      cluster.Ctl("put /kx-orrery/f/global/KXT_NEW 1 -w json");
  revision = std::to_string(
      nlohmann::json::parse(revision)["header"]["revision"].get<long>());
  cluster.Ctl("compact " + revision);
  b.Start(cluster);
  EXPECT_TRUE(b.Sees("KXT_NEW", "1"));
  EXPECT_TRUE(kxtest::Has(b.Log(), "reading the whole fleet again"));
  EXPECT_EQ(b.Get("KXT_BOTH"), "theirs");
  EXPECT_EQ(b.Get("KXT_GONE"), "");
  EXPECT_EQ(b.Tool("get --local KXT_GONE"), "local");
  EXPECT_EQ(cluster.Conflicts(), "mine");
}

TEST_F(Fleet, ALocalSetThatMeetsANewerEtcdValueLoses) {
  a.Set("KXT_RACE", "zero");
  ASSERT_TRUE(b.Sees("KXT_RACE", "zero"));
  kill(b.agent, SIGSTOP);  // b's agent hears both changes only afterwards
  b.Set("KXT_RACE", "from-b");
  a.Set("KXT_RACE", "from-a");
  ASSERT_TRUE(
      Eventually([&] { return cluster.Global("KXT_RACE") == "from-a"; }));
  kill(b.agent, SIGCONT);
  EXPECT_TRUE(b.Sees("KXT_RACE", "from-a")) << b.Log();
  EXPECT_EQ(cluster.Conflicts(), "from-b");
  EXPECT_EQ(a.Get("KXT_RACE"), "from-a");
}

// Reads a Global value, keeps it cached, and reads it once more when the
// file named by its second argument appears.
KX_ROLE(cached_reader) {
  setenv("KX_REGISTRY", args[0].c_str(), 1);
  for (int i = 0; i < 2; ++i) KXfreemem(KXgetglobal("KXT_READ"));
  kxtest::Say("cached");
  while (access(args[1].c_str(), F_OK) != 0) usleep(5000);
  char* value = KXgetglobal("KXT_READ");
  kxtest::Say(value ? value : "(none)");
  KXfreemem(value);
  return 0;
}

TEST_F(Fleet, AReaderWithTheValueCachedSeesTheRemoteChange) {
  a.Set("KXT_READ", "one");
  ASSERT_TRUE(b.Sees("KXT_READ", "one"));
  std::string go = b.store + "/go";
  kxtest::Child reader("cached_reader", {b.store, go});
  ASSERT_EQ(reader.ReadLine(), "cached");
  a.Set("KXT_READ", "two");
  ASSERT_TRUE(b.Sees("KXT_READ", "two"));
  std::ofstream{go};
  EXPECT_EQ(reader.ReadLine(), "two");
  // b's journal has the change as the fleet's, at etcd's revision of it.
  auto item = nlohmann::json::parse(
      cluster.Ctl("get /kx-orrery/f/global/KXT_READ -w json"));
  auto entry =
      nlohmann::json::parse(b.Tool("history KXT_READ --json --limit 1"));
  EXPECT_EQ(entry["source"], "fleet");
  EXPECT_EQ(entry["fleet"], "f");
  EXPECT_EQ(entry["revision"], item["kvs"][0]["mod_revision"]);
}

}  // namespace
