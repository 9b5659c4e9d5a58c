#include "OutputNaming.h"

#include <filesystem>
#include <vector>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

struct TField {
  const char* Name;
  std::string Value;
};

// One pass over the template: a value is never read as a field itself.
std::string Expand(const std::string& ATemplate, const std::vector<TField>& AFields) {
  std::string Text;
  for (size_t At = 0; At < ATemplate.size();) {
    bool Matched = false;
    for (const TField& Field : AFields) {
      const std::string Name = Field.Name;
      if (ATemplate.compare(At, Name.size(), Name) != 0) continue;
      Text += Field.Value;
      At += Name.size();
      Matched = true;
      break;
    }
    if (!Matched) Text += ATemplate[At++];
  }
  return Text;
}

// ASource's folder relative to ABase, "." when it is the base; false when it lies outside.
bool RelativeFolder(const std::string& ASource, const std::string& ABase, std::string& AFolder) {
  const fs::path Source = fs::absolute(fs::path(ASource)).lexically_normal();
  const fs::path Base = fs::absolute(fs::path(ABase.empty() ? "." : ABase)).lexically_normal();
  const fs::path Relative = Source.parent_path().lexically_relative(Base);
  if (Relative.empty()) return false;
  for (const fs::path& Part : Relative)
    if (Part == "..") return false;
  AFolder = Relative.string();
  return true;
}

} // namespace

const char* const DefaultNameTemplate = "{name} ({label})";

bool TemplateOutputName(const TNameRule& ARule, const std::string& ASource,
                        const std::string& AFolder, std::string& AName, std::string& AError) {
  const fs::path Source(ASource);
  std::string Extension = Source.extension().string();
  if (!Extension.empty()) Extension.erase(0, 1);
  std::string Folder;
  if (ARule.Template.find("{dir}") != std::string::npos &&
      !RelativeFolder(ASource, ARule.Base, Folder)) {
    AError = "not below the base folder " + (ARule.Base.empty() ? "." : ARule.Base);
    return false;
  }
  const std::string Path = Expand(ARule.Template, {{"{name}", Source.stem().string()},
                                                   {"{ext}", Extension},
                                                   {"{label}", ARule.Label},
                                                   {"{dir}", Folder}});
  const fs::path Into = AFolder.empty() ? Source.parent_path() : fs::path(AFolder);
  AName = (Into / fs::path(Path + ARule.Extension).lexically_normal()).string();
  return true;
}

} // namespace pelorix
