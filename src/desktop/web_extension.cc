// The web-process extension of the workspace view, loaded by WebKit into
// every web process the view starts.
//
// It does two things the application cannot do from its own process:
//  - it defines window.webkit.messageHandlers.haldenDesktop.postMessage in
//    every frame, and sends each call to the application together with the
//    sender frame's facts (main frame or not, document URL) read from WebKit
//    at the moment of the call;
//  - it cancels document loads of any frame to an address outside the
//    service's origin before their request leaves the process, and tells the
//    application which frame the load was for.
//
// The page cannot replace the function or forge the facts: the properties are
// neither writable nor configurable, and fields the page puts in the body are
// just body.
#include <libsoup/soup.h>
#include <webkit2/webkit-web-extension.h>

#include <optional>
#include <string>
#include <string_view>

#include "desktop/extension_protocol.h"
#include "service/service_url.h"

namespace {

using halden::ServiceUrl;

// Set once at initialization; the extension lives as long as its process.
std::optional<ServiceUrl> serviceOrigin;

// What a postMessage function needs when it is called: the page and the
// frame it was defined in, held weakly (either can go before the script
// context does).
struct SenderFrame {
  GWeakRef page;
  GWeakRef frame;
};

SenderFrame* newSenderFrame(WebKitWebPage* page, WebKitFrame* frame) {
  auto* sender = new SenderFrame;
  g_weak_ref_init(&sender->page, page);
  g_weak_ref_init(&sender->frame, frame);
  return sender;
}

void freeSenderFrame(gpointer data) {
  auto* sender = static_cast<SenderFrame*>(data);
  g_weak_ref_clear(&sender->page);
  g_weak_ref_clear(&sender->frame);
  delete sender;
}

void postMessage(JSCValue* body, gpointer data) {
  auto* sender = static_cast<SenderFrame*>(data);
  auto* page = static_cast<WebKitWebPage*>(g_weak_ref_get(&sender->page));
  auto* frame = static_cast<WebKitFrame*>(g_weak_ref_get(&sender->frame));
  if (page && frame) {
    const gboolean mainFrame = webkit_frame_is_main_frame(frame);
    const char* frameUrl = webkit_frame_get_uri(frame);
    char* json = body ? jsc_value_to_json(body, 0) : nullptr;
    GVariant* parameters =
        g_variant_new("(bss)", mainFrame, frameUrl ? frameUrl : "", json ? json : "");
    webkit_web_page_send_message_to_view(
        page, webkit_user_message_new(halden::extension::scriptMessage, parameters), nullptr,
        nullptr, nullptr);
    g_free(json);
  }
  if (frame) g_object_unref(frame);
  if (page) g_object_unref(page);
}

// Returns object[name], defining it as a fresh, fixed object when it is not
// an object yet. A page that defined its own window.webkit first keeps it,
// but cannot keep ours from being added to it.
JSCValue* fixedObjectProperty(JSCContext* context, JSCValue* object, const char* name) {
  JSCValue* existing = jsc_value_object_get_property(object, name);
  if (existing && jsc_value_is_object(existing)) return existing;
  if (existing) g_object_unref(existing);
  JSCValue* created = jsc_value_new_object(context, nullptr, nullptr);
  jsc_value_object_define_property_data(object, name, JSC_VALUE_PROPERTY_ENUMERABLE, created);
  return created;
}

void defineMessageHandler(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame,
                          gpointer) {
  JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
  JSCValue* window = jsc_context_get_global_object(context);
  JSCValue* webkit = fixedObjectProperty(context, window, "webkit");
  JSCValue* handlers = fixedObjectProperty(context, webkit, "messageHandlers");
  JSCValue* handler = jsc_value_new_object(context, nullptr, nullptr);
  JSCValue* function = jsc_value_new_function(
      context, "postMessage", G_CALLBACK(postMessage), newSenderFrame(page, frame),
      freeSenderFrame, G_TYPE_NONE, 1, JSC_TYPE_VALUE);
  jsc_value_object_define_property_data(handler, "postMessage", JSC_VALUE_PROPERTY_ENUMERABLE,
                                        function);
  jsc_value_object_define_property_data(handlers, "haldenDesktop", JSC_VALUE_PROPERTY_ENUMERABLE,
                                        handler);
  g_object_unref(function);
  g_object_unref(handler);
  g_object_unref(handlers);
  g_object_unref(webkit);
  g_object_unref(window);
  g_object_unref(context);
}

// Which frame a request loads a document into, from the fetch metadata
// WebKit itself sets: std::nullopt for a request that loads no document
// (images, scripts, fetches).
std::optional<bool> documentOfMainFrame(WebKitURIRequest* request) {
  SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request);
  const char* destination = headers ? soup_message_headers_get_one(headers, "Sec-Fetch-Dest") : nullptr;
  if (!destination) return std::nullopt;
  const std::string_view kind(destination);
  if (kind == "document") return true;
  if (kind == "iframe" || kind == "frame") return false;
  return std::nullopt;
}

gboolean sendRequest(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse*,
                     gpointer) {
  const char* uri = webkit_uri_request_get_uri(request);
  if (!uri) return FALSE;
  const std::optional<bool> mainFrame = documentOfMainFrame(request);
  if (!mainFrame) return FALSE;
  // Without an origin to trust, no document loads.
  if (serviceOrigin && halden::trusted(*serviceOrigin, std::string_view(uri))) return FALSE;
  webkit_web_page_send_message_to_view(
      page,
      webkit_user_message_new(halden::extension::foreignDocument,
                              g_variant_new("(sb)", uri, *mainFrame)),
      nullptr, nullptr, nullptr);
  return TRUE;  // cancels the request
}

void pageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
  g_signal_connect(page, "send-request", G_CALLBACK(sendRequest), nullptr);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(
    WebKitWebExtension* extension, const GVariant* userData) {
  auto* data = const_cast<GVariant*>(userData);
  if (data && g_variant_is_of_type(data, G_VARIANT_TYPE_STRING)) {
    serviceOrigin = ServiceUrl::parse(g_variant_get_string(data, nullptr));
  }
  g_signal_connect(extension, "page-created", G_CALLBACK(pageCreated), nullptr);
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                   G_CALLBACK(defineMessageHandler), nullptr);
}
