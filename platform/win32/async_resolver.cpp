// Winsock's own asynchronous lookup, completed by a message posted to the caller's window.
#include "platform/async_resolver.h"

namespace kelvo {

template <>
AsyncResolverApi& ServiceTable<AsyncResolverApi>() {
  static AsyncResolverApi api{
      .WSAAsyncGetHostByName = ::WSAAsyncGetHostByName,
      .WSACancelAsyncRequest = ::WSACancelAsyncRequest,
  };
  return api;
}

}  // namespace kelvo
