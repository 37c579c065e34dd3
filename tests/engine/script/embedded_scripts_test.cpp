#include <string>

#include <duktape.h>
#include <gtest/gtest.h>

#include "engine/script/embedded_scripts.h"

namespace halyx::testing {
namespace {

// Every script the engine carries compiles, as the one function expression
// the engine evaluates it as: a syntax error in a .js file fails here rather
// than leaving every page without its environment.
TEST(EngineEmbeddedScripts, EveryScriptCompilesToAFunction) {
  ASSERT_GE(std::size(engine::kEmbeddedScripts), 2u);
  duk_context* ctx = duk_create_heap_default();
  ASSERT_NE(ctx, nullptr);
  for (const engine::EmbeddedScript& script : engine::kEmbeddedScripts) {
    EXPECT_EQ(std::char_traits<char>::length(script.source), script.size) << script.file_name;
    duk_push_string(ctx, script.file_name);
    const bool compiled =
        duk_pcompile_lstring_filename(ctx, DUK_COMPILE_EVAL, script.source, static_cast<duk_size_t>(script.size)) == 0;
    EXPECT_TRUE(compiled) << script.file_name << ": " << duk_safe_to_string(ctx, -1);
    if (compiled) {
      ASSERT_EQ(duk_pcall(ctx, 0), 0) << script.file_name << ": " << duk_safe_to_string(ctx, -1);
      EXPECT_TRUE(duk_is_function(ctx, -1)) << script.file_name;
    }
    duk_pop(ctx);
  }
  duk_destroy_heap(ctx);
}

}  // namespace
}  // namespace halyx::testing
