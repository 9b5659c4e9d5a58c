// Output names that are a function of the source's path alone (--name-template, --mirror-tree,
// --skip-existing): the same source gives the same name on every machine and every run, so a
// batch can be resumed and spread over hosts. Any thread.
#pragma once

#include <string>

namespace pelorix {

// The window's name, "{name} ({label})", as a template.
extern const char* const DefaultNameTemplate;

struct TNameRule {
  std::string Template; // a checked template (no absolute path, no "..")
  std::string Base; // the folder {dir} is relative to; made absolute from the current folder
  std::string Label; // the format's label
  std::string Extension; // the format's extension, with its dot
};

// The output path of ASource under AFolder (empty: the source's own folder): AFolder + "/" +
// the expanded template + the extension. The path is made lexically, without looking at the
// disc. False with AError when the template asks for {dir} and the source is not below the
// base.
bool TemplateOutputName(const TNameRule& ARule, const std::string& ASource,
                        const std::string& AFolder, std::string& AName, std::string& AError);

} // namespace pelorix
