// The help text of edclean: every option with its default, and the
// program's own help with each subcommand's options, in the layout that
// help2man turns into the manual page.
#ifndef EDCLEAN_TOOL_HELP_FORMAT_H
#define EDCLEAN_TOOL_HELP_FORMAT_H

#include <string>

#include <CLI/CLI.hpp>

namespace edclean_tool {

class help_formatter : public CLI::Formatter {
  public:
    // The program's help: its own options, its subcommands, then a section
    // per subcommand ("edclean clean [OPTIONS] ROOT...:") with all of its
    // options, then the footer. A subcommand's help is CLI11's own.
    std::string make_help(const CLI::App *app, std::string name,
                          CLI::AppFormatMode mode) const override;

    // CLI11's, without "=DEFAULT": the default is in the description.
    std::string make_option_opts(const CLI::Option *opt) const override;

    // The description with "(default: ...)" for every setting: "off" for a
    // flag, the value it starts with, or "none".
    std::string make_option_desc(const CLI::Option *opt) const override;

  private:
    std::string subcommand_section(const CLI::App *sub, const std::string &name) const;
};

} // namespace edclean_tool

#endif
