// The three GLX entry points that OpenCV's core archive references for its
// OpenGL interoperability, which these programs never use: no OpenGL
// context is ever made, so none is current and no OpenGL function is
// available, which is what these answer. Linked after the archive, they
// spare every start loading the GLX and X11 libraries (eight of them,
// about 2 ms on the benchmark machine).

extern "C" {

void* glXGetCurrentContext() { return nullptr; }

void* glXGetCurrentDisplay() { return nullptr; }

using GlxFunction = void (*)();
GlxFunction glXGetProcAddressARB(const unsigned char* /*name*/) {
  return nullptr;
}

}  // extern "C"
