// The table of native primitives (N) that the engine's own script stands on,
// kept apart from the context's handle and call machinery: it grows with
// every primitive the page environment gains.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "engine/script/script_context.h"
#include "engine/script/script_context_guards.h"
#include "engine/script/dom_bindings.h"
#include "engine/platform/local_storage.h"
#include "base/utf8.h"

namespace halyx::engine {

// The native primitives (N) the page environment and the DOM wrappers stand
// on: console, timers, dialogs, title, storage, location, language, saving.
const ScriptContext::Primitive ScriptContext::kPrimitives[] = {
    {"console",
     [](duk_context* ctx) -> duk_ret_t {
       From(ctx)->view_.AddConsoleLine(duk_to_int(ctx, 0), StringArg(ctx, 1));
       return 0;
     },
     2},
    {"setTimer",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       if (!duk_is_function(ctx, 0)) return 0;
       if (self->timers_.size() >= kMaxTimers) {
         if (!self->timersRefused_) {
           self->view_.AddConsoleLine(
               3, "Timer refused: a page may have at most " + std::to_string(kMaxTimers) + " timers pending");
         }
         self->timersRefused_ = true;
         return 0;
       }
       const int id = self->nextTimer_++;
       const bool repeat = duk_to_boolean(ctx, 2) != 0;
       duk_push_global_stash(ctx);
       duk_get_prop_string(ctx, -1, "timers");
       duk_dup(ctx, 0);
       duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(id));
       duk_pop_2(ctx);
       const unsigned serial = self->serial_;
       const unsigned ms = static_cast<unsigned>(duk_to_uint32(ctx, 1));
       self->timers_[id] = self->view_.SetScriptTimer(ms, [serial, id, repeat](ScriptContext& current) {
         return current.serial() == serial && current.FireTimer(id, repeat);
       });
       duk_push_int(ctx, id);
       return 1;
     },
     3},
    {"clearTimer",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       const int id = duk_to_int(ctx, 0);
       const auto found = self->timers_.find(id);
       if (found == self->timers_.end()) return 0;
       self->view_.KillScriptTimer(found->second);
       self->timers_.erase(found);
       duk_push_global_stash(ctx);
       duk_get_prop_string(ctx, -1, "timers");
       duk_del_prop_index(ctx, -1, static_cast<duk_uarridx_t>(id));
       duk_pop_2(ctx);
       return 0;
     },
     1},
    {"alert",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       const std::string text = StringArg(ctx, 0);
       HostCall call(*self);
       self->view_.Alert(text);
       return 0;
     },
     1},
    {"confirm",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       const std::string text = StringArg(ctx, 0);
       bool answer = false;
       {
         HostCall call(*self);
         answer = self->view_.Confirm(text);
       }
       duk_push_boolean(ctx, answer);
       return 1;
     },
     1},
    {"prompt",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       const std::string text = StringArg(ctx, 0);
       const std::string default_text = StringArg(ctx, 1);
       std::string result;
       bool answered = false;
       {
         HostCall call(*self);
         answered = self->view_.Prompt(text, default_text, result);
       }
       if (answered) {
         PushText(ctx, result);
       } else {
         duk_push_null(ctx);
       }
       return 1;
     },
     2},
    {"getTitle",
     [](duk_context* ctx) -> duk_ret_t {
       const std::string& title = From(ctx)->view_.document().title();
       PushText(ctx, title);
       return 1;
     },
     0},
    {"setTitle",
     [](duk_context* ctx) -> duk_ret_t {
       From(ctx)->view_.SetTitle(StringArg(ctx, 0));
       return 0;
     },
     1},
    {"findElement",
     [](duk_context* ctx) -> duk_ret_t {
       DomBindings::PushNode(ctx, From(ctx)->view_.document().FindById(StringArg(ctx, 0)));
       return 1;
     },
     1},
    {"storageGet",
     [](duk_context* ctx) -> duk_ret_t {
       std::string value;
       if (!From(ctx)->storage_->Get(StringArg(ctx, 0), value)) {
         duk_push_null(ctx);
       } else {
         PushText(ctx, value);
       }
       return 1;
     },
     1},
    {"storageSet",
     [](duk_context* ctx) -> duk_ret_t {
       From(ctx)->storage_->Set(StringArg(ctx, 0), StringArg(ctx, 1));
       return 0;
     },
     2},
    {"storageRemove",
     [](duk_context* ctx) -> duk_ret_t {
       From(ctx)->storage_->Remove(StringArg(ctx, 0));
       return 0;
     },
     1},
    {"storageClear",
     [](duk_context* ctx) -> duk_ret_t {
       From(ctx)->storage_->Clear();
       return 0;
     },
     0},
    {"getUrl",
     [](duk_context* ctx) -> duk_ret_t {
       const std::string& url = From(ctx)->view_.url();
       PushText(ctx, url);
       return 1;
     },
     0},
    {"language",
     [](duk_context* ctx) -> duk_ret_t {
       const std::string name = UserLanguage();
       PushText(ctx, name);
       return 1;
     },
     0},
    {"saveFile",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       const std::string name = StringArg(ctx, 0);
       const std::string type = StringArg(ctx, 1);
       duk_size_t size = 0;
       const void* bytes = duk_get_buffer_data(ctx, 2, &size);
       bool saved = false;
       {
         HostCall call(*self);
         saved = self->view_.SaveFile(name, type, bytes, size);
       }
       duk_push_boolean(ctx, saved);
       return 1;
     },
     3},
    {"jobsQueued",
     [](duk_context* ctx) -> duk_ret_t {
       From(ctx)->jobsPending_ = true;
       return 0;
     },
     0},
    {"fetch",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       const int request = duk_to_int(ctx, 0);
       const std::string method = StringArg(ctx, 1);
       const std::string url = StringArg(ctx, 2);
       const std::string body = StringArg(ctx, 3);
       const std::string type = StringArg(ctx, 4);
       std::string refused;
       {
         HostCall call(*self);
         refused = self->view_.Fetch(request, method, url, body, type);
       }
       PushText(ctx, refused);
       return 1;
     },
     5},
    {"pickedFile",
     [](duk_context* ctx) -> duk_ret_t {
       int pick = 0;
       std::string name;
       double size = 0;
       if (!From(ctx)->view_.PickedFile(DomBindings::NodeIndex(ctx, 0), pick, name, size)) {
         duk_push_null(ctx);
         return 1;
       }
       const duk_idx_t array = duk_push_array(ctx);
       duk_push_int(ctx, pick);
       duk_put_prop_index(ctx, array, 0);
       PushText(ctx, name);
       duk_put_prop_index(ctx, array, 1);
       duk_push_number(ctx, size);
       duk_put_prop_index(ctx, array, 2);
       return 1;
     },
     1},
    {"readFile",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptContext* self = From(ctx);
       const int request = duk_to_int(ctx, 0);
       const int pick = duk_to_int(ctx, 1);
       std::string refused;
       {
         HostCall call(*self);
         refused = self->view_.ReadPickedFile(request, pick);
       }
       PushText(ctx, refused);
       return 1;
     },
     2},
    {"mainView",
     [](duk_context* ctx) -> duk_ret_t {
       duk_push_boolean(ctx, From(ctx)->view_.main_view());
       return 1;
     },
     0},
};

const std::size_t ScriptContext::kPrimitiveCount = std::size(kPrimitives);

}  // namespace halyx::engine
