#include "opengl_probe.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <cstdint>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"

namespace opengl_probe {
namespace {

// The few GL entry points used, fetched through EGL so no GL header or
// library is needed at build time.
using GetStringFn = const unsigned char* (*)(unsigned);
using GetIntegervFn = void (*)(int, int*);
using ClearColorFn = void (*)(float, float, float, float);
using ClearFn = void (*)(unsigned);
using ReadPixelsFn = void (*)(int, int, int, int, unsigned, unsigned, void*);
using GenFn = void (*)(int, unsigned*);
using BindFn = void (*)(unsigned, unsigned);
using StorageFn = void (*)(unsigned, unsigned, int, int);
using AttachFn = void (*)(unsigned, unsigned, unsigned, unsigned);
using ViewportFn = void (*)(int, int, int, int);

constexpr unsigned kVendor = 0x1F00, kRenderer = 0x1F01, kVersion = 0x1F02;
constexpr int kMajor = 0x821B, kMinor = 0x821C;
constexpr unsigned kColorBufferBit = 0x4000, kRgba = 0x1908, kUnsignedByte = 0x1401;
constexpr unsigned kFramebuffer = 0x8D40, kRenderbuffer = 0x8D41, kRgba8 = 0x8058,
                   kColorAttachment0 = 0x8CE0;

template <typename T>
T Get(const char* name) {
  return reinterpret_cast<T>(eglGetProcAddress(name));
}

std::string Text(GetStringFn get, unsigned name) {
  const unsigned char* text = get(name);
  return text ? reinterpret_cast<const char*>(text) : "";
}

bool DrawAndCheck() {
  auto gen_fb = Get<GenFn>("glGenFramebuffers");
  auto bind_fb = Get<BindFn>("glBindFramebuffer");
  auto gen_rb = Get<GenFn>("glGenRenderbuffers");
  auto bind_rb = Get<BindFn>("glBindRenderbuffer");
  auto storage = Get<StorageFn>("glRenderbufferStorage");
  auto attach = Get<AttachFn>("glFramebufferRenderbuffer");
  auto viewport = Get<ViewportFn>("glViewport");
  auto clear_color = Get<ClearColorFn>("glClearColor");
  auto clear = Get<ClearFn>("glClear");
  auto read = Get<ReadPixelsFn>("glReadPixels");
  if (!gen_fb || !bind_fb || !gen_rb || !bind_rb || !storage || !attach || !viewport ||
      !clear_color || !clear || !read) {
    return false;
  }
  unsigned fb = 0, rb = 0;
  gen_fb(1, &fb);
  bind_fb(kFramebuffer, fb);
  gen_rb(1, &rb);
  bind_rb(kRenderbuffer, rb);
  storage(kRenderbuffer, kRgba8, 4, 4);
  attach(kFramebuffer, kColorAttachment0, kRenderbuffer, rb);
  viewport(0, 0, 4, 4);
  clear_color(1.0f, 0.0f, 1.0f, 1.0f);
  clear(kColorBufferBit);
  std::uint8_t pixel[4] = {};
  read(2, 2, 1, 1, kRgba, kUnsignedByte, pixel);
  return pixel[0] == 255 && pixel[1] == 0 && pixel[2] == 255 && pixel[3] == 255;
}

}  // namespace

ProbeError Probe(OpenglFacts* facts, bool draw) {
  auto get_platform_display =
      reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
  EGLDisplay display = EGL_NO_DISPLAY;
  if (get_platform_display != nullptr) {
    display = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  }
  if (display == EGL_NO_DISPLAY) display = eglGetDisplay(EGL_DEFAULT_DISPLAY);
  EGLint egl_major = 0, egl_minor = 0;
  if (display == EGL_NO_DISPLAY || !eglInitialize(display, &egl_major, &egl_minor)) {
    return ProbeError::kNoDisplay;
  }
  ProbeError result = ProbeError::kNone;
  EGLContext context = EGL_NO_CONTEXT;
  if (!eglBindAPI(EGL_OPENGL_API)) {
    result = ProbeError::kNoContext;
  } else {
    const EGLint attributes[] = {EGL_NONE};
    context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
    if (context == EGL_NO_CONTEXT ||
        !eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
      result = ProbeError::kNoContext;
    }
  }
  if (result == ProbeError::kNone) {
    auto get_string = Get<GetStringFn>("glGetString");
    auto get_integer = Get<GetIntegervFn>("glGetIntegerv");
    if (get_string == nullptr || get_integer == nullptr) {
      result = ProbeError::kNoFunctions;
    } else {
      facts->vendor = Text(get_string, kVendor);
      facts->renderer = Text(get_string, kRenderer);
      facts->version = Text(get_string, kVersion);
      get_integer(kMajor, &facts->major);
      get_integer(kMinor, &facts->minor);
      if (draw && !DrawAndCheck()) result = ProbeError::kBadFrame;
    }
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  }
  if (context != EGL_NO_CONTEXT) eglDestroyContext(display, context);
  eglTerminate(display);
  return result;
}

int CheckOpenglProcess() {
  OpenglFacts facts;
  const ProbeError error = Probe(&facts, false);
  if (error != ProbeError::kNone) return static_cast<int>(error);
  // The assistant's own product environment (component 13).
  MultiInst::Instance()->Init(L"Quarrion", 13);
  const std::wstring key =
      MultiInst::Instance()->GetNimbrelEnvRegRoot() + L"\\GraphicInfo\\QuarrionAssistant.exe";
  bool stored = true;
  stored &= base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglVendor",
                                base::gstring::FromUtf8(facts.vendor));
  stored &= base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglRenderer",
                                base::gstring::FromUtf8(facts.renderer));
  stored &= base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglVersion",
                                base::gstring::FromUtf8(facts.version));
  stored &= base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglMajorVersion", facts.major);
  stored &= base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglMinorVersion", facts.minor);
  return stored ? 1000 : 5;
}

}  // namespace opengl_probe
