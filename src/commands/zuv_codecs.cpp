// The handlers of the text codec commands. Each result is the codec applied to the first
// parameter's text, which stays as it was. None answers a code.

#include "codecs/codecs.h"
#include "codecs/uuencode.h"
#include "commands/zuv_commands.h"
#include "plugin/parameters.h"

namespace {

// Sets the command's result to `codec` applied to text parameter 1, all of its units by its
// length (a U+0000 is a character like any other); the result is handed to the host once, and an
// empty parameter gives the empty result.
template <typename Codec>
void rewriteFirstParameter(PluginBlock* block, Codec codec) {
  std::u16string_view in = unitsOf(*PA_GetStringParameter(block, 1));
  PA_Unistring& result = *resultText(block);
  if (in.empty()) return setEmpty(result);
  codec(in, result);
}

}  // namespace

void handleText2HTML(PluginBlock* block) {
  int mode = PA_GetLongParameter(block, 2);
  rewriteFirstParameter(block, [mode](auto in, auto& out) { htmlEncode(in, out, mode); });
}

void handleHTML2Text(PluginBlock* block) {
  int mode = PA_GetLongParameter(block, 2);
  rewriteFirstParameter(block, [mode](auto in, auto& out) { htmlDecode(in, out, mode); });
}

void handleText2URL(PluginBlock* block) {
  int mode = PA_GetLongParameter(block, 2);
  rewriteFirstParameter(block, [mode](auto in, auto& out) { urlEncode(in, out, mode); });
}

void handleURL2Text(PluginBlock* block) {
  int mode = PA_GetLongParameter(block, 2);
  rewriteFirstParameter(block, [mode](auto in, auto& out) { urlDecode(in, out, mode); });
}

void handleText2Base64(PluginBlock* block) {
  bool pad = (PA_GetLongParameter(block, 2) & 1) != 0;
  rewriteFirstParameter(block, [pad](auto in, auto& out) { base64Encode(in, out, pad); });
}

void handleBase642Text(PluginBlock* block) {
  rewriteFirstParameter(block, [](auto in, auto& out) { base64Decode(in, out); });
}

void handleText2QP(PluginBlock* block) {
  bool textMode = (PA_GetLongParameter(block, 2) & 2) != 0;
  rewriteFirstParameter(block, [textMode](auto in, auto& out) { quotedEncode(in, out, textMode); });
}

void handleQP2Text(PluginBlock* block) {
  rewriteFirstParameter(block, [](auto in, auto& out) { quotedDecode(in, out); });
}

void handleText2UU(PluginBlock* block) {
  uu::encode(*PA_GetStringParameter(block, 1), *resultText(block));
}

void handleUU2Text(PluginBlock* block) {
  uu::decode(*PA_GetStringParameter(block, 1), *resultText(block));
}
