// What the agent checks before it talks to etcd: that the endpoints and
// the TLS options agree, that the TLS files are there and fit together,
// and where the password of etcd's user comes from. Each returns false
// with a usage error naming the option and the file.
#pragma once

#include <string>

#include "etcd.h"

namespace kxsync {

// How the agent will connect. A user given as NAME:PASSWORD is refused:
// the command line is public. TLS is on when a TLS file is given or every
// endpoint is https://; an http:// endpoint with TLS files is a
// contradiction, and a user without TLS is refused unless
// `insecure_plaintext`.
bool CheckConnection(Options& options, bool insecure_plaintext,
                     std::string& error);

// --cacert, --cert and --key: readable PEM files; a certificate with its
// key, the key matching it, the certificate valid now.
bool CheckTlsFiles(const Options& options, std::string& error);

// The password of --user: from `password_file` (readable by its owner
// only), else KXENV_SYNC_PASSWORD, else asked for on the terminal.
bool ReadPassword(const std::string& password_file, Options& options,
                  std::string& error);

}  // namespace kxsync
