// The TLS files are read with OpenSSL, which gRPC itself uses, so that a
// missing file, a key that belongs to another certificate or an expired
// certificate is said in the agent's words at start, rather than as the
// "handshake failed" that gRPC says on every attempt.
#include "credentials.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace kxsync {
namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

bool ReadFile(const char* option, const std::string& path, std::string& text,
              std::string& error) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream whole;
  if (file) whole << file.rdbuf();
  if (!file || file.bad()) {
    error = std::string(option) + " " + path + ": " + std::strerror(errno);
    return false;
  }
  text = whole.str();
  return true;
}

// An encrypted key would make OpenSSL ask for its passphrase on the
// terminal: the agent has none to give.
int NoPassphrase(char*, int, int, void*) {
  return 0;
}

Certificate ReadCertificate(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  return Certificate(
      bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)
          : nullptr,
      X509_free);
}

Key ReadKey(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  return Key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr)
          : nullptr,
      EVP_PKEY_free);
}

std::string TimeText(const ASN1_TIME* time) {
  Bio bio(BIO_new(BIO_s_mem()), BIO_free);
  char text[64] = "";
  if (bio && ASN1_TIME_print(bio.get(), time)) {
    int length = BIO_read(bio.get(), text, sizeof text - 1);
    text[std::max(length, 0)] = '\0';
  }
  return text;
}

// Why the certificate is not valid now, or "".
std::string Validity(const X509* certificate) {
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
    return "expired on " + TimeText(X509_get0_notAfter(certificate));
  }
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0) {
    return "is not valid before " + TimeText(X509_get0_notBefore(certificate));
  }
  return "";
}

bool CheckClientPair(const Options& options, std::string& error) {
  std::string cert_pem, key_pem;
  if (!ReadFile("--cert", options.cert, cert_pem, error) ||
      !ReadFile("--key", options.key, key_pem, error)) {
    return false;
  }
  Certificate certificate = ReadCertificate(cert_pem);
  Key key = ReadKey(key_pem);
  if (!certificate) {
    error = "--cert " + options.cert + " holds no PEM certificate";
  } else if (!key) {
    error = "--key " + options.key +
            " holds no PEM private key (an encrypted one cannot be used)";
  } else if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    error = "--key " + options.key + " is not the key of the certificate in " +
            "--cert " + options.cert;
  } else if (std::string why = Validity(certificate.get()); !why.empty()) {
    error = "the certificate in --cert " + options.cert + " " + why;
  }
  return error.empty();
}

std::string Scheme(const std::string& endpoint) {
  size_t end = endpoint.find("://");
  return end == std::string::npos ? "" : endpoint.substr(0, end);
}

// Asks on the terminal, without echo.
bool Prompt(const std::string& user, std::string& password) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) return false;
  termios before{};
  bool quiet = tcgetattr(fileno(tty), &before) == 0;
  termios silent = before;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (quiet) tcsetattr(fileno(tty), TCSAFLUSH, &silent);
  std::fprintf(tty, "password of etcd user %s: ", user.c_str());
  std::fflush(tty);
  char line[1024] = "";
  bool read = std::fgets(line, sizeof line, tty) != nullptr;
  if (quiet) tcsetattr(fileno(tty), TCSAFLUSH, &before);
  std::fprintf(tty, "\n");
  std::fclose(tty);
  password = line;
  password.erase(password.find_last_not_of("\r\n") + 1);
  return read;
}

bool ReadPasswordFile(const std::string& path, std::string& password,
                      std::string& error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = "--password-file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (info.st_mode & (S_IRWXG | S_IRWXO)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777);
    error = "--password-file " + path + " is open to other users (mode " +
            mode + "); a password file is for its owner only: chmod 600 " +
            path;
    return false;
  }
  std::string text;
  if (!ReadFile("--password-file", path, text, error)) return false;
  password = text.substr(0, text.find('\n'));
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) error = "--password-file " + path + " is empty";
  return error.empty();
}

}  // namespace

bool CheckConnection(Options& options, bool insecure_plaintext,
                     std::string& error) {
  if (options.user.find(':') != std::string::npos) {
    error =
        "--user takes a name only: a password on the command line is "
        "shown to every user of the machine (ps, the unit's ExecStart); "
        "give it with --password-file FILE (mode 600), the environment "
        "variable KXENV_SYNC_PASSWORD, or at the prompt";
    return false;
  }
  bool files =
      !options.cacert.empty() || !options.cert.empty() || !options.key.empty();
  size_t secure = 0;
  for (const std::string& endpoint : options.endpoints) {
    std::string scheme = Scheme(endpoint);
    if (scheme == "https") {
      ++secure;
    } else if (scheme == "http" && files) {
      error = endpoint + " is plain http://, but --cacert, --cert and --key " +
              "are for TLS: write https://";
      return false;
    } else if (scheme != "http" && !scheme.empty()) {
      error =
          endpoint + ": an endpoint is http://HOST:PORT or https://HOST:PORT";
      return false;
    }
  }
  if (secure != 0 && secure != options.endpoints.size() && !files) {
    error = "the endpoints mix https:// and plain ones; write them all alike";
    return false;
  }
  options.tls = files || secure == options.endpoints.size();
  if (!options.user.empty() && !options.tls && !insecure_plaintext) {
    error = "--user would send its password and token in clear text to " +
            options.endpoints.front() +
            ": give https:// endpoints with --cacert, or --insecure-plaintext "
            "to allow it";
    return false;
  }
  return true;
}

bool CheckTlsFiles(const Options& options, std::string& error) {
  if (options.cert.empty() != options.key.empty()) {
    error = options.cert.empty() ? "--key needs --cert, its certificate"
                                 : "--cert needs --key, its private key";
    return false;
  }
  if (!options.cacert.empty()) {
    std::string pem;
    if (!ReadFile("--cacert", options.cacert, pem, error)) return false;
    Certificate authority = ReadCertificate(pem);
    if (!authority) {
      error = "--cacert " + options.cacert + " holds no PEM certificate";
      return false;
    }
    if (std::string why = Validity(authority.get()); !why.empty()) {
      error = "the CA certificate in --cacert " + options.cacert + " " + why;
      return false;
    }
  }
  return options.cert.empty() || CheckClientPair(options, error);
}

bool ReadPassword(const std::string& password_file, Options& options,
                  std::string& error) {
  if (options.user.empty()) {
    if (!password_file.empty()) error = "--password-file needs --user";
    return password_file.empty();
  }
  if (!password_file.empty()) {
    return ReadPasswordFile(password_file, options.password, error);
  }
  if (const char* password = std::getenv("KXENV_SYNC_PASSWORD")) {
    options.password = password;
    return true;
  }
  if (isatty(STDIN_FILENO) && Prompt(options.user, options.password)) {
    return true;
  }
  error = "--user " + options.user +
          " needs a password: --password-file FILE, KXENV_SYNC_PASSWORD, or a "
          "terminal to ask on";
  return false;
}

}  // namespace kxsync
