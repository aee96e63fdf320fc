#include "exporter/pages.h"

#include <cstdio>

#include "exporter/log.h"
#include "exporter/options.h"

namespace exporter {

std::string json_escape(std::string_view text) {
    return escape_text(text, "\\u%04x");
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string render_sd_json(const exporter_config &config) {
    std::string out = "[";
    bool first_group = true;
    for (const target_group &group : config.target_groups) {
        out += first_group ? "\n  " : ",\n  ";
        first_group = false;
        out += "{\"targets\": [";
        for (size_t i = 0; i < group.targets.size(); ++i) {
            if (i > 0) out += ", ";
            out += '"' + json_escape(group.targets[i]) + '"';
        }
        out += "], \"labels\": {";
        bool first_label = true;
        auto add = [&](const std::string &name, const std::string &value) {
            if (!first_label) out += ", ";
            first_label = false;
            out += '"' + json_escape(name) + "\": \"" + json_escape(value) + '"';
        };
        if (!group.module.empty()) add("__param_module", group.module);
        for (const auto &[name, value] : group.labels) add(name, value);
        out += "}}";
    }
    out += first_group ? "]\n" : "\n]\n";
    return out;
}

std::string render_landing_page(const exporter_config &config,
                                const std::string &exporter_address) {
    const std::string address = html_escape(exporter_address);
    std::string modules;
    for (const auto &[name, module] : config.modules) {
        char line[256];
        std::snprintf(line, sizeof line, "<li><code>%s</code>: time-out %gs, setup %s%s</li>\n",
                      html_escape(name).c_str(), module.timeout_s,
                      module.read_setup ? "read" : "not read",
                      module.username.empty() ? "" : ", with credentials");
        modules += line;
    }
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>tarvik exporter</title>\n</head>\n<body>\n<h1>tarvik exporter</h1>\n"
        "<p>Prometheus exporter for environment-monitoring units, version " +
        html_escape(version_text().substr(sizeof "tarvik_exporter, version " - 1)) +
        "</p>\n<ul>\n"
        "<li><a href=\"metrics\">/metrics</a>: the exporter's own metrics</li>\n"
        "<li><a href=\"sd\">/sd</a>: the target inventory for http_sd_configs</li>\n"
        "<li><a href=\"-/healthy\">/-/healthy</a></li>\n"
        "<li><code>/probe?target=HOST[:PORT]&amp;module=NAME</code>: one unit's metrics</li>\n"
        "</ul>\n"
        "<h2>Probe a unit</h2>\n"
        "<form action=\"probe\" method=\"get\">\n"
        "<label>Target <input type=\"text\" name=\"target\" "
        "placeholder=\"192.0.2.10:80\"></label>\n"
        "<label>Module <input type=\"text\" name=\"module\" value=\"default\"></label>\n"
        "<input type=\"submit\" value=\"Probe\">\n</form>\n"
        "<h2>Modules</h2>\n<p>Configuration: <code>" +
        html_escape(config.source) + "</code></p>\n<ul>\n" + modules +
        "</ul>\n"
        "<h2>Scrape configuration</h2>\n<pre>\n"
        "scrape_configs:\n"
        "  - job_name: tarvik\n"
        "    metrics_path: /probe\n"
        "    params:\n"
        "      module: [default]\n"
        "    http_sd_configs:\n"
        "      - url: http://" +
        address +
        "/sd\n"
        "    relabel_configs:\n"
        "      - source_labels: [__address__]\n"
        "        target_label: __param_target\n"
        "      - source_labels: [__param_target]\n"
        "        target_label: instance\n"
        "      - target_label: __address__\n"
        "        replacement: " +
        address +
        "\n"
        "  - job_name: tarvik_exporter\n"
        "    static_configs:\n"
        "      - targets: ['" +
        address +
        "']\n"
        "</pre>\n</body>\n</html>\n";
    return page;
}

}  // namespace exporter
