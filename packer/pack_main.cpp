// zobrin-pack: turns an application directory into the launcher's payload. The one place its
// errors are caught and printed.
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "packer/cli.h"
#include "packer/usage_error.h"

int main(int argc, char** argv) {
  CLI::App app("Packs an application directory into one Windows executable.", "zobrin-pack");
  try {
    std::vector<std::string> args = cli_args(argc, argv);
    cli_setup(app, args.empty() ? "zobrin-pack" : args.front());
    if (args.size() < 2) throw UsageError("no command given");
    cli_parse(app, args);
    return 0;
  } catch (const CLI::Success& printed) {
    return app.exit(printed);
  } catch (const CLI::ParseError& error) {
    // The chosen command's help, or the program's when none was chosen.
    std::fprintf(stderr, "zobrin-pack: error: %s\n%s", cli_message(error, app).c_str(),
                 app.help().c_str());
    return 2;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "zobrin-pack: error: %s\n%s", error.what(), app.help().c_str());
    return 2;
  } catch (const std::exception& error) {
    // PackError, and what the library throws (out of memory, a file system error).
    std::fprintf(stderr, "zobrin-pack: error: %s\n", error.what());
    return 1;
  }
}
