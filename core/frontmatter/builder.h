// Builds the value of a collected document. Only the frontmatter's own files include it.
#pragma once

#include "core/frontmatter/events.h"
#include "core/frontmatter/yaml_value.h"
#include "core/result.h"

namespace tyx::frontmatter {

// The value of a collected document, or the error that stopped its collection or its build.
Result<YamlValue> build_document(const Document& document);

}  // namespace tyx::frontmatter
