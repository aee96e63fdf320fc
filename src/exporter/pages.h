// The exporter's small documents: the service-discovery JSON of /sd and the landing page.
#pragma once

#include <string>
#include <string_view>

#include "exporter/config.h"

namespace exporter {

// Prometheus HTTP service discovery: a JSON list of target groups, one per group of the
// inventory, with its labels; a group's module becomes the label "__param_module", which
// Prometheus sends back as the module parameter of /probe. An empty inventory gives "[]".
std::string render_sd_json(const exporter_config &config);

// `text` as the contents of a JSON string, quotes excluded. REQUIRES: valid UTF-8.
std::string json_escape(std::string_view text);
// `text` safe as HTML text and attribute contents.
std::string html_escape(std::string_view text);

// The landing page: links to the endpoints, the configured modules, a probe form and a
// Prometheus scrape configuration that uses this exporter at `exporter_address`
// (HOST:PORT).
std::string render_landing_page(const exporter_config &config, const std::string &exporter_address);

}  // namespace exporter
