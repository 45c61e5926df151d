// TLS peers for the network tests: certificates, keys and chains made with the openssl command
// in a temporary folder, and the openssl s_server, s_client and curl commands run as child
// processes with pipes to their standard streams. Children inherit the binary's own network
// namespace (peers.h), so they see only its loopback.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace peers {

// ---- Child processes ----------------------------------------------------------------------------

// A command run with its standard input, output and error on pipes (output and error together).
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv,
                 const std::vector<std::string>& extraEnvironment = {}) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    for (const std::string& e : extraEnvironment) environment.push_back(e);
    std::vector<char*> env;
    for (std::string& e : environment) env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
  }
  ~Child() {
    closeInput();
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  void write(const std::string& bytes) {
    size_t done = 0;
    while (in_ >= 0 && done < bytes.size()) {
      ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  // Reads what the child printed so far; answers all of it.
  const std::string& output() {
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(out_, buffer, sizeof buffer)) > 0) output_.append(buffer, n);
    return output_;
  }
  // Waits up to `limit` for `text` to appear in the output. The limit only bounds a failing
  // test: a child's first line can take many seconds on a busy machine (python3 through a
  // version manager's shim, openssl making keys), and a wait ends as soon as the text is there.
  bool awaitOutput(const std::string& text,
                   std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      pollfd entry{out_, POLLIN, 0};
      poll(&entry, 1, 10);
    }
    return true;
  }
  // Waits up to `limit` for the child to end; its exit status, or -1 when it did not end.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!exited_) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > end) return -1;
      output();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    output();
    return exitStatus_;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool exited_ = false;
  int exitStatus_ = -1;
  std::string output_;
};

// Runs a command to its end; answers its exit status and keeps its output.
inline int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr) {
  Child child(argv);
  if (!child.started()) return -1;
  child.closeInput();
  int status = child.wait(std::chrono::seconds(60));
  if (output != nullptr) *output = child.output();
  return status;
}

// ---- Certificates -------------------------------------------------------------------------------

// A root, an intermediate and a leaf for alpha.test signed by it (with the chain file leaf
// first), self-signed beta.test and gamma.test, a self-signed wide.test of about 87 KB (4400
// names), an RSA-2048 and an RSA-1024 pair, the leaf key in every encrypted form (pass phrase
// "secret", and 300 times "p" for leaf-enc-long.pem), DER forms and one PEM holding key and
// certificate.
// Made once per test binary.
class Certificates {
 public:
  static const Certificates& get() {
    static const Certificates made;
    return made;
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  const std::filesystem::path& dir() const { return dir_; }
  bool ok() const { return ok_; }

 private:
  Certificates() {
    char pattern[] = "/tmp/zuv_tls_XXXXXX";
    dir_ = mkdtemp(pattern);
    ok_ = make();
  }
  ~Certificates() { std::filesystem::remove_all(dir_); }

  bool sh(const std::string& command) const {
    return runCommand(
               {"sh", "-c", "unset OPENSSL_CONF; cd '" + dir_.string() + "' && " + command}) == 0;
  }

  bool make() const {
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2";
    const std::string ca =
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign";
    return sh("openssl req -x509 " + ec + " -keyout root.key -out root.pem -subj '/CN=Test Root' " +
              ca + " 2>/dev/null") &&
           sh("openssl req -new " + ec +
              " -keyout inter.key -out inter.csr -subj '/CN=Test Intermediate' 2>/dev/null") &&
           sh("printf "
              "'basicConstraints=critical,CA:TRUE\\nkeyUsage=critical,keyCertSign,cRLSign\\n'"
              " > ca.ext") &&
           sh("openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -CAcreateserial "
              "-days 2 -extfile ca.ext -out inter.pem 2>/dev/null") &&
           sh("openssl req -new " + ec +
              " -keyout leaf.key -out leaf.csr -subj /CN=alpha.test 2>/dev/null") &&
           sh("printf 'subjectAltName=DNS:alpha.test\\nextendedKeyUsage=serverAuth,clientAuth\\n'"
              " > leaf.ext") &&
           sh("openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -CAcreateserial "
              "-days 2 -extfile leaf.ext -out leaf.pem 2>/dev/null") &&
           sh("cat leaf.pem inter.pem > chain.pem") &&
           sh("openssl req -x509 " + ec +
              " -keyout beta.key -out beta.pem -subj /CN=beta.test "
              "-addext subjectAltName=DNS:beta.test 2>/dev/null") &&
           sh("openssl req -x509 " + ec +
              " -keyout gamma.key -out gamma.pem -subj /CN=gamma.test "
              "-addext subjectAltName=DNS:gamma.test 2>/dev/null") &&
           sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout rsa.key -out rsa.pem "
              "-subj /CN=rsa.test 2>/dev/null") &&
           sh("openssl req -x509 -newkey rsa:1024 -nodes -days 2 -keyout weak.key -out weak.pem "
              "-subj /CN=weak 2>/dev/null") &&
           sh("openssl pkey -in leaf.key -aes256 -passout pass:secret -out leaf-enc.pem") &&
           sh("head -c 300 /dev/zero | tr '\\0' p > long.pass && openssl pkey -in leaf.key "
              "-aes256 -passout file:long.pass -out leaf-enc-long.pem") &&
           sh("openssl rsa -in rsa.key -aes128 -passout pass:secret -traditional "
              "-out rsa-enc-trad.pem 2>/dev/null") &&
           sh("openssl pkcs8 -topk8 -in leaf.key -v1 PBE-SHA1-3DES -passout pass:secret "
              "-out leaf-enc-3des.pem") &&
           sh("openssl pkcs8 -topk8 -in leaf.key -v1 PBE-MD5-DES -passout pass:secret "
              "-out leaf-enc-md5des.pem 2>/dev/null || openssl pkcs8 -topk8 -in leaf.key -v1 "
              "PBE-MD5-DES -provider legacy -provider default -passout pass:secret "
              "-out leaf-enc-md5des.pem") &&
           sh("openssl pkcs8 -topk8 -in leaf.key -passout pass:secret -outform DER "
              "-out leaf-enc.der") &&
           sh("openssl x509 -in leaf.pem -outform DER -out leaf.der") &&
           sh("openssl pkey -in leaf.key -outform DER -out leaf-key.der") &&
           sh("cat leaf.key leaf.pem > combined.pem") &&
           sh("head -c 1048576 /dev/urandom > big.bin") &&
           sh("printf 'Gr\\303\\274\\303\\237e from the web server.' > hello.txt") &&
           sh("cp leaf.pem alpha.pem && cp leaf.key alpha.key") &&
           sh("{ printf 'subjectAltName=@names\\n[names]\\n'; seq 1 4400 | "
              "sed 's/.*/DNS.&=host&.wide.test/'; } > wide.ext") &&
           sh("openssl req -new " + ec +
              " -keyout wide.key -out wide.csr -subj /CN=wide.test 2>/dev/null") &&
           sh("openssl x509 -req -in wide.csr -signkey wide.key -days 2 -extfile wide.ext "
              "-out wide.pem 2>/dev/null") &&
           sh("printf 'openssl_conf=openssl_init\\n[openssl_init]\\nssl_conf=ssl_sect\\n"
              "[ssl_sect]\\nsystem_default=sd\\n[sd]\\nCipherString=DEFAULT@SECLEVEL=0\\n"
              "MinProtocol=None\\n' > legacy.cnf") &&
           sh("printf 'config_diagnostics=1\\nopenssl_conf=openssl_init\\n[openssl_init]\\n"
              "providers=prov\\n[prov]\\nnonesuch=nonesuch_sect\\n[nonesuch_sect]\\n"
              "activate=1\\n' > broken.cnf");
  }

  std::filesystem::path dir_;
  bool ok_ = false;
};

// ---- openssl s_server ---------------------------------------------------------------------------

// `openssl s_server` on 127.0.0.1 and a port the system picks, run in the certificates' folder
// (so that -WWW serves its files), with the extra arguments given.
class TLSServer {
 public:
  explicit TLSServer(const std::vector<std::string>& extra,
                     const std::vector<std::string>& environment = {}) {
    const Certificates& certificates = Certificates::get();
    std::vector<std::string> argv = {"sh", "-c", ""};
    std::string command = "cd '" + certificates.dir().string() +
                          "' && exec openssl s_server -accept 127.0.0.1:0 -cert leaf.pem -key "
                          "leaf.key -cert_chain inter.pem";
    for (const std::string& arg : extra) command += " '" + arg + "'";
    argv[2] = command;
    child_ = std::make_unique<Child>(argv, environment);
    if (!child_->awaitOutput("ACCEPT 127.0.0.1:")) return;
    const std::string& out = child_->output();
    size_t at = out.find("ACCEPT 127.0.0.1:") + 17;
    port_ = static_cast<uint16_t>(std::atoi(out.c_str() + at));
  }
  int16_t port() const { return static_cast<int16_t>(port_); }
  Child& child() { return *child_; }

 private:
  std::unique_ptr<Child> child_;
  uint16_t port_ = 0;
};

}  // namespace peers
