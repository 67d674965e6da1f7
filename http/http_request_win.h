// The WinHTTP side of the request engine: HttpRequest::Perform (declared in
// http_request.h) and the owner of WinHTTP handles.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "common/unique_handle.h"
#include "http/http_request.h"

namespace parvel {

// Service, connection and request handles of WinHTTP, closed with
// WinHttpCloseHandle.
struct WinHttpHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::WinHttpCloseHandle(h); }
};
using UniqueWinHttpHandle = UniqueHandle<WinHttpHandleTraits>;

}  // namespace parvel
