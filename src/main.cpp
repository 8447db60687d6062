// The daemon's start-up: each stage that fails ends the program with exit status -1.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "service/service.h"
#include "settings/settings.h"

namespace {

// Any allocation that fails, from the copies the settings keep to the configuration file's
// path, ends the daemon with the one message it has for that.
[[noreturn]] void out_of_memory() {
  std::fputs("vantrel: Something's wrong. Exiting.\n", stdout);
  std::fflush(stdout);
  std::_Exit(255);  // exit status -1, as every stop
}

int log_file_exists(const vantrel::settings::Settings& settings) {
  struct stat status {};
  if (stat(settings.logfile->c_str(), &status) != 0) {
    std::perror("vantrel: Error stat'ing log file");
    return -1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Under a supervisor or a pipe, full buffering would hold the reports back and lose them
  // when the daemon is killed, which is its normal way to stop.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::set_new_handler(out_of_memory);
  vantrel::settings::Settings settings;
  std::fputs(vantrel::settings::kBanner, stdout);
  if (vantrel::settings::parse_command_line(argc, argv, settings) != 0) return -1;
  if (vantrel::settings::read_config_file(argc > 0 ? argv[0] : nullptr, settings) != 0) return -1;
  if (vantrel::settings::check_settings(settings) != 0) return -1;
  vantrel::settings::report_settings(settings);
  if (log_file_exists(settings) != 0) return -1;
  // No address: all local addresses.
  const int listener = settings.plain_off ? -1
                                          : vantrel::service::open_listener(
                                                settings.port, settings.address.value_or(0));
  const int tls_listener =
      settings.tls_port == 0
          ? -1
          : vantrel::service::open_listener(settings.tls_port, settings.tls_address.value_or(0),
                                            vantrel::service::kTlsBacklog,
                                            vantrel::service::tls_listener_label(settings));
  // Every failure of the TLS listener's start, its certificates too, is said before the daemon
  // says it waits.
  ssl_ctx_st* tls = tls_listener >= 0 ? vantrel::service::open_tls(settings) : nullptr;
  if ((!settings.plain_off && listener < 0) || (settings.tls_port != 0 && tls == nullptr)) {
    std::fprintf(stderr, "vantrel: Error starting server. Exiting.\n");
    return -1;
  }
  std::printf("vantrel: Waiting for clients connection...\n");
  return vantrel::service::run_service(listener, tls_listener, tls, settings);
}
