#include "help_format.h"

#include <sstream>
#include <utility>
#include <vector>

namespace edclean_tool {

std::string help_formatter::make_help(const CLI::App *app, std::string name,
                                      CLI::AppFormatMode mode) const {
    if (app->get_parent() != nullptr || mode != CLI::AppFormatMode::Normal)
        return CLI::Formatter::make_help(app, std::move(name), mode);
    std::string out = make_description(app);
    out += make_usage(app, name);
    out += make_positionals(app);
    out += make_groups(app, mode);
    out += make_subcommands(app, mode);
    for (const CLI::App *sub : app->get_subcommands({}))
        out += subcommand_section(sub, name);
    out += '\n';
    out += make_footer(app);
    return out;
}

std::string help_formatter::subcommand_section(const CLI::App *sub, const std::string &name) const {
    // The usage line without its label is the heading: help2man makes a
    // subsection of a line that ends in ':'.
    std::string full_name = name;
    full_name += ' ';
    full_name += sub->get_name();
    std::string heading = make_usage(sub, full_name);
    const std::string label = get_label("Usage") + ": ";
    if (heading.compare(0, label.size(), label) == 0)
        heading.erase(0, label.size());
    while (!heading.empty() && heading.back() == '\n')
        heading.pop_back();

    std::string out = "\n";
    out += heading;
    out += ":\n  ";
    out += sub->get_description();
    out += "\n\n";
    for (const bool positional : {true, false})
        for (const CLI::Option *opt : sub->get_options([sub, positional](const CLI::Option *o) {
                 return o->get_positional() == positional && o != sub->get_help_ptr();
             }))
            out += make_option(opt, positional);
    return out;
}

std::string help_formatter::make_option_opts(const CLI::Option *opt) const {
    std::ostringstream out;
    if (!opt->get_option_text().empty()) {
        out << " " << opt->get_option_text();
        return out.str();
    }
    if (opt->get_type_size() != 0) {
        if (!opt->get_type_name().empty())
            out << " " << get_label(opt->get_type_name());
        if (opt->get_expected_max() == CLI::detail::expected_max_vector_size)
            out << " ...";
        else if (opt->get_expected_min() > 1)
            out << " x " << opt->get_expected();
        if (opt->get_required())
            out << " " << get_label("REQUIRED");
    }
    if (!opt->get_envname().empty())
        out << " (" << get_label("Env") << ":" << opt->get_envname() << ")";
    if (!opt->get_needs().empty()) {
        out << " " << get_label("Needs") << ":";
        for (const CLI::Option *other : opt->get_needs())
            out << " " << other->get_name();
    }
    if (!opt->get_excludes().empty()) {
        out << " " << get_label("Excludes") << ":";
        for (const CLI::Option *other : opt->get_excludes())
            out << " " << other->get_name();
    }
    return out.str();
}

std::string help_formatter::make_option_desc(const CLI::Option *opt) const {
    std::string text = opt->get_description();
    // --help and --version are actions, not settings (CLI11 makes them
    // the only options a configuration file cannot give); what is required
    // has no default.
    if (!opt->get_configurable() || opt->get_positional() || opt->get_required())
        return text;
    text += " (default: ";
    if (opt->get_expected_max() == 0) { // a flag takes no value
        text += "off";
    } else {
        // An empty text or container starts as nothing at all.
        const std::string value = opt->get_default_str();
        text += value.empty() || value == "[]" ? "none" : value;
    }
    text += ')';
    return text;
}

} // namespace edclean_tool
