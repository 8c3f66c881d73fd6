// Symbol visibility of the public interface. A shared build compiles everything with hidden
// visibility, so that only what the public headers declare between TARNET_API_BEGIN and
// TARNET_API_END is exported; the modules' internals stay private to the library and cannot
// clash with an embedder's own names. A static build is unaffected.
#pragma once

#if defined(__GNUC__)
#define TARNET_API_BEGIN _Pragma("GCC visibility push(default)")
#define TARNET_API_END _Pragma("GCC visibility pop")
#else
#define TARNET_API_BEGIN
#define TARNET_API_END
#endif
