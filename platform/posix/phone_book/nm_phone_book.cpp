// The entry as a NetworkManager profile:
//
//   connection.id           the entry name         connection.type  vpn
//   connection.autoconnect  no                     connection.permissions  the user running us
//   vpn.service-type        org.freedesktop.NetworkManager.pptp
//   vpn.data   gateway      szLocalPhoneNumber
//              refuse-pap   RASEO_RequireEncryptedPw or RASEO_RequireMsEncryptedPw
//              refuse-chap, refuse-eap              RASEO_RequireMsEncryptedPw
//              require-mppe dwEncryptionType ET_Require or ET_RequireMax (-128 for the latter)
//              user, domain, password-flags=0 and the secret password: the credentials
//   vpn.persistent          RASEO2_ReconnectIfDropped
//   ipv4.never-default      off exactly with RASEO_RemoteDefaultGateway
//
// Redial count and pause have no equivalent (the daemon redials only automatic connections, and
// the PPTP service starts its PPP daemon without such options); the PPTP service never negotiates
// multilink, which is what RASEO2_DontNegotiateMultilink asks.
#include "platform/posix/phone_book/nm_phone_book.h"

#include <NetworkManager.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace kelvo {

namespace {

// One call takes at most this long, from connecting to the bus to the daemon's last answer: a
// daemon that does not answer is a failure, not a hang.
constexpr guint kCallMilliseconds = 5000;
// What an abandoned call may still take to wind down libnm's pending work.
constexpr guint kWindDownMilliseconds = 1000;

constexpr char kPptpService[] = "org.freedesktop.NetworkManager.pptp";

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Owned = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, GErrorFree>;

// The account that runs us: the profile belongs to it, so a desktop user needs no administrator.
std::optional<std::string> UserName() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

// The system bus's address as every D-Bus client finds it.
std::string SystemBusAddress() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return address != nullptr ? address : "unix:path=/var/run/dbus/system_bus_socket";
}

// Nothing listens at a bus address of one socket path: no bus, the usual case on a machine
// without one, known without GLib (whose worker threads a child forked from a threaded process
// lacks: it would wait for them for ever). Any other address is left to GLib.
bool NothingListensAt(std::string_view address) {
  constexpr std::string_view kPrefix = "unix:path=";
  if (!address.starts_with(kPrefix) || address.find_first_of(",;%") != std::string_view::npos) return false;
  const std::string_view path = address.substr(kPrefix.size());
  sockaddr_un socketAddress{};
  socketAddress.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(socketAddress.sun_path)) return false;
  path.copy(socketAddress.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool refused = ::connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof(socketAddress)) != 0 &&
                       (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR);
  ::close(fd);
  return refused;
}

template <typename T>
T* SettingOf(NMConnection* profile, GType type) {
  NMSetting* setting = nm_connection_get_setting(profile, type);
  if (setting == nullptr) {
    setting = NM_SETTING(g_object_new(type, nullptr));
    nm_connection_add_setting(profile, setting);  // takes it
  }
  return reinterpret_cast<T*>(setting);
}

// An empty text removes the item.
void SetData(NMSettingVpn* vpn, const char* key, const std::string& value) {
  if (value.empty()) {
    nm_setting_vpn_remove_data_item(vpn, key);
  } else {
    nm_setting_vpn_add_data_item(vpn, key, value.c_str());
  }
}

void SetYes(NMSettingVpn* vpn, const char* key, bool yes) { SetData(vpn, key, yes ? "yes" : ""); }
bool IsYes(NMSettingVpn* vpn, const char* key) { return g_strcmp0(nm_setting_vpn_get_data_item(vpn, key), "yes") == 0; }

// Lays the entry's fields over the profile (an existing one or a new one); nullopt, or the code
// of what cannot be laid.
std::optional<DWORD> ApplyEntry(NMConnection* profile, const std::string& name, const RASENTRYW& entry) {
  const auto gateway = FieldText(entry.szLocalPhoneNumber);
  const auto user = UserName();
  if (!gateway) return ERROR_INVALID_PARAMETER;
  if (!user) return ERROR_CANNOT_WRITE_PHONEBOOK;

  auto* general = SettingOf<NMSettingConnection>(profile, NM_TYPE_SETTING_CONNECTION);
  if (nm_setting_connection_get_uuid(general) == nullptr) {
    gchar* uuid = nm_utils_uuid_generate();
    g_object_set(general, NM_SETTING_CONNECTION_UUID, uuid, nullptr);
    g_free(uuid);
  }
  g_object_set(general, NM_SETTING_CONNECTION_ID, name.c_str(), NM_SETTING_CONNECTION_TYPE,
               NM_SETTING_VPN_SETTING_NAME, NM_SETTING_CONNECTION_AUTOCONNECT, FALSE, nullptr);
  while (nm_setting_connection_get_num_permissions(general) > 0) nm_setting_connection_remove_permission(general, 0);
  nm_setting_connection_add_permission(general, "user", user->c_str(), nullptr);

  const bool msOnly = (entry.dwfOptions & RASEO_RequireMsEncryptedPw) != 0;
  const bool encryptedOnly = msOnly || (entry.dwfOptions & RASEO_RequireEncryptedPw) != 0;
  const bool encrypt = entry.dwEncryptionType == ET_Require || entry.dwEncryptionType == ET_RequireMax;
  auto* vpn = SettingOf<NMSettingVpn>(profile, NM_TYPE_SETTING_VPN);
  g_object_set(vpn, NM_SETTING_VPN_SERVICE_TYPE, kPptpService, NM_SETTING_VPN_PERSISTENT,
               (entry.dwfOptions2 & RASEO2_ReconnectIfDropped) != 0, nullptr);
  SetData(vpn, "gateway", *gateway);
  SetYes(vpn, "refuse-pap", encryptedOnly);
  SetYes(vpn, "refuse-chap", msOnly);
  SetYes(vpn, "refuse-eap", msOnly);
  SetYes(vpn, "require-mppe", encrypt);
  SetYes(vpn, "require-mppe-128", entry.dwEncryptionType == ET_RequireMax);

  auto* ipv4 = SettingOf<NMSettingIPConfig>(profile, NM_TYPE_SETTING_IP4_CONFIG);
  g_object_set(ipv4, NM_SETTING_IP_CONFIG_METHOD, NM_SETTING_IP4_CONFIG_METHOD_AUTO, NM_SETTING_IP_CONFIG_NEVER_DEFAULT,
               (entry.dwfOptions & RASEO_RemoteDefaultGateway) == 0, nullptr);
  return std::nullopt;
}

// A conversation with NetworkManager for the length of one phone-book call. libnm delivers its
// answers on the thread's default main context; a private one is pushed for the call, so the call
// waits for its own answers only, neither runs the GUI's event loop nor is run by it, and gives
// up when its time is over.
class Session {
 public:
  Session() : context_(g_main_context_new()), cancellable_(g_cancellable_new()) {
    g_main_context_push_thread_default(context_);
    deadline_ = g_timeout_source_new(kCallMilliseconds);
    g_source_set_callback(deadline_, &Session::CancelAll, cancellable_, nullptr);
    g_source_attach(deadline_, context_);
  }

  ~Session() {
    // libnm's pending work ends on the context it started on: run it until the client's
    // watcher is gone, for a bounded time.
    if (client_) {
      bool gone = false;
      GObject* watcher = nm_client_get_context_busy_watcher(client_.get());
      g_object_weak_ref(watcher, &Session::Gone, &gone);
      client_.reset();
      bool late = false;
      GSource* windDown = g_timeout_source_new(kWindDownMilliseconds);
      g_source_set_callback(windDown, &Session::Gone, &late, nullptr);
      g_source_attach(windDown, context_);
      while (!gone && !late) g_main_context_iteration(context_, TRUE);
      if (!gone) g_object_weak_unref(watcher, &Session::Gone, &gone);
      g_source_destroy(windDown);
      g_source_unref(windDown);
    }
    bus_.reset();
    g_source_destroy(deadline_);
    g_source_unref(deadline_);
    g_object_unref(cancellable_);
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  NetworkManagerPresence Open() {
    const std::string address = SystemBusAddress();
    const auto connected = Await([&](GAsyncReadyCallback done, gpointer slot) {
      g_dbus_connection_new_for_address(
          address.c_str(),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, cancellable_, done, slot);
    });
    GError* error = nullptr;
    bus_.reset(g_dbus_connection_new_for_address_finish(connected.get(), &error));
    if (!bus_) return Refused(Error(error)) ? NetworkManagerPresence::kAbsent : NetworkManagerPresence::kNoAnswer;

    const auto started = Await([&](GAsyncReadyCallback done, gpointer slot) {
      g_async_initable_new_async(NM_TYPE_CLIENT, G_PRIORITY_DEFAULT, cancellable_, done, slot,
                                 NM_CLIENT_DBUS_CONNECTION, bus_.get(), NM_CLIENT_INSTANCE_FLAGS,
                                 NM_CLIENT_INSTANCE_FLAGS_NO_AUTO_FETCH_PERMISSIONS, nullptr);
    });
    GObject* source = g_async_result_get_source_object(started.get());
    client_.reset(NM_CLIENT(g_async_initable_new_finish(G_ASYNC_INITABLE(source), started.get(), &error)));
    g_object_unref(source);
    if (!client_) {
      g_error_free(error);
      return NetworkManagerPresence::kNoAnswer;
    }
    return nm_client_get_nm_running(client_.get()) ? NetworkManagerPresence::kAnswers
                                                   : NetworkManagerPresence::kAbsent;
  }

  // The first profile of that name, owned by the client.
  NMRemoteConnection* Find(const std::string& name) const {
    const GPtrArray* profiles = nm_client_get_connections(client_.get());
    for (guint i = 0; i < profiles->len; ++i) {
      auto* profile = NM_REMOTE_CONNECTION(g_ptr_array_index(profiles, i));
      if (g_strcmp0(nm_connection_get_id(NM_CONNECTION(profile)), name.c_str()) == 0) return profile;
    }
    return nullptr;
  }

  // Profiles are verified (nm_connection_normalize) before they are sent, and go to disk.
  DWORD Add(NMConnection* profile) {
    const auto added = Await([&](GAsyncReadyCallback done, gpointer slot) {
      nm_client_add_connection2(client_.get(), nm_connection_to_dbus(profile, NM_CONNECTION_SERIALIZE_ALL),
                                static_cast<NMSettingsAddConnection2Flags>(
                                    NM_SETTINGS_ADD_CONNECTION2_FLAG_TO_DISK |
                                    NM_SETTINGS_ADD_CONNECTION2_FLAG_BLOCK_AUTOCONNECT),
                                nullptr, TRUE, cancellable_, done, slot);
    });
    GError* error = nullptr;
    NMRemoteConnection* made = nm_client_add_connection2_finish(client_.get(), added.get(), nullptr, &error);
    if (made == nullptr) return Failed(error);
    g_object_unref(made);
    return ERROR_SUCCESS;
  }

  DWORD Update(NMRemoteConnection* remote, NMConnection* profile) {
    const auto updated = Await([&](GAsyncReadyCallback done, gpointer slot) {
      nm_remote_connection_update2(remote, nm_connection_to_dbus(profile, NM_CONNECTION_SERIALIZE_ALL),
                                   static_cast<NMSettingsUpdate2Flags>(NM_SETTINGS_UPDATE2_FLAG_TO_DISK |
                                                                       NM_SETTINGS_UPDATE2_FLAG_BLOCK_AUTOCONNECT),
                                   nullptr, cancellable_, done, slot);
    });
    GError* error = nullptr;
    GVariant* result = nm_remote_connection_update2_finish(remote, updated.get(), &error);
    if (result == nullptr) return Failed(error);
    g_variant_unref(result);
    return ERROR_SUCCESS;
  }

 private:
  // Starts one asynchronous step and runs the private context until its callback came. Past the
  // deadline every step is cancelled, and a cancelled step calls back at once.
  template <typename Start>
  Owned<GAsyncResult> Await(Start start) {
    GAsyncResult* result = nullptr;
    start(&Session::Keep, &result);
    while (result == nullptr) g_main_context_iteration(context_, TRUE);
    return Owned<GAsyncResult>(result);
  }

  static void Keep(GObject*, GAsyncResult* result, gpointer slot) {
    *static_cast<GAsyncResult**>(slot) = G_ASYNC_RESULT(g_object_ref(result));
  }
  static gboolean CancelAll(gpointer cancellable) {
    g_cancellable_cancel(G_CANCELLABLE(cancellable));
    return G_SOURCE_REMOVE;
  }
  static gboolean Gone(gpointer flag) {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
  }
  static void Gone(gpointer flag, GObject*) { Gone(flag); }

  // No bus at the address (nothing listens there) rather than one that did not answer in time.
  static bool Refused(const Error& error) { return !g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED); }
  static DWORD Failed(GError* error) {
    g_error_free(error);
    return ERROR_CANNOT_WRITE_PHONEBOOK;
  }

  GMainContext* context_;
  GCancellable* cancellable_;
  GSource* deadline_ = nullptr;
  Owned<GDBusConnection> bus_;
  Owned<NMClient> client_;
};

// The entry's fields as the profile holds them; the others stay as they are.
DWORD ReadEntry(NMConnection* profile, RASENTRYW& entry) {
  NMSettingVpn* vpn = nm_connection_get_setting_vpn(profile);
  NMSettingIPConfig* ipv4 = nm_connection_get_setting_ip4_config(profile);
  if (vpn == nullptr || g_strcmp0(nm_setting_vpn_get_service_type(vpn), kPptpService) != 0) {
    return ERROR_CORRUPT_PHONEBOOK;
  }
  const char* gateway = nm_setting_vpn_get_data_item(vpn, "gateway");
  const std::u16string server = FromUtf8(gateway == nullptr ? "" : gateway);
  if (server.size() > static_cast<std::size_t>(RAS_MaxPhoneNumber)) return ERROR_CORRUPT_PHONEBOOK;

  server.copy(entry.szLocalPhoneNumber, server.size());
  entry.szLocalPhoneNumber[server.size()] = 0;
  std::u16string_view(RASDT_Vpn).copy(entry.szDeviceType, RAS_MaxDeviceType);
  const bool msOnly = IsYes(vpn, "refuse-chap") && IsYes(vpn, "refuse-eap");
  entry.dwfOptions = (IsYes(vpn, "refuse-pap") ? RASEO_RequireEncryptedPw : 0) |
                     (IsYes(vpn, "refuse-pap") && msOnly ? RASEO_RequireMsEncryptedPw : 0) |
                     (ipv4 == nullptr || !nm_setting_ip_config_get_never_default(ipv4) ? RASEO_RemoteDefaultGateway : 0);
  entry.dwfNetProtocols = RASNP_Ip;
  entry.dwFramingProtocol = RASFP_Ppp;
  entry.dwType = RASET_Vpn;
  entry.dwVpnStrategy = VS_PptpOnly;
  entry.dwEncryptionType = IsYes(vpn, "require-mppe-128") ? ET_RequireMax : IsYes(vpn, "require-mppe") ? ET_Require : ET_None;
  entry.dwfOptions2 = RASEO2_DontNegotiateMultilink | (nm_setting_vpn_get_persistent(vpn) ? RASEO2_ReconnectIfDropped : 0);
  return ERROR_SUCCESS;
}

// A new entry waits here, in this process, for its credentials: the daemon gets it only complete
// with them, so a failure in between leaves no profile without its password, not even in the
// daemon's memory (which it would keep across a restart).
std::mutex pendingMutex;
std::map<std::string, Owned<NMConnection>> pending;

// Opens the session for a call that needs the daemon: nullopt when it answers, else the code.
std::optional<DWORD> Unanswered(Session& session) {
  if (session.Open() == NetworkManagerPresence::kAnswers) return std::nullopt;
  return ERROR_CANNOT_OPEN_PHONEBOOK;
}

}  // namespace

NetworkManagerPresence FindNetworkManager() {
  if (NothingListensAt(SystemBusAddress())) return NetworkManagerPresence::kAbsent;
  Session session;
  return session.Open();
}

DWORD NmSetEntryProperties(const std::string& name, const RASENTRYW& entry) {
  Session session;
  if (const auto error = Unanswered(session)) return *error;
  NMRemoteConnection* existing = session.Find(name);
  Owned<NMConnection> profile(existing ? nm_simple_connection_new_clone(NM_CONNECTION(existing))
                                       : nm_simple_connection_new());
  if (const auto error = ApplyEntry(profile.get(), name, entry)) return *error;
  if (!nm_connection_normalize(profile.get(), nullptr, nullptr, nullptr)) return ERROR_INVALID_PARAMETER;
  const std::lock_guard lock(pendingMutex);
  pending.erase(name);
  // The daemon keeps the stored password of a profile updated without secrets.
  if (existing != nullptr) return session.Update(existing, profile.get());
  pending.emplace(name, std::move(profile));
  return ERROR_SUCCESS;
}

DWORD NmGetEntryProperties(const std::string& name, RASENTRYW& entry) {
  Session session;
  if (const auto error = Unanswered(session)) return *error;
  if (NMRemoteConnection* existing = session.Find(name)) return ReadEntry(NM_CONNECTION(existing), entry);
  const std::lock_guard lock(pendingMutex);
  const auto waiting = pending.find(name);
  if (waiting == pending.end()) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  return ReadEntry(waiting->second.get(), entry);
}

DWORD NmStoreCredentials(const std::string& name, const FieldValues& values) {
  Session session;
  if (const auto error = Unanswered(session)) return *error;
  NMRemoteConnection* existing = session.Find(name);
  Owned<NMConnection> profile;
  if (existing != nullptr) {
    profile.reset(nm_simple_connection_new_clone(NM_CONNECTION(existing)));
  } else {
    const std::lock_guard lock(pendingMutex);
    const auto waiting = pending.find(name);
    if (waiting == pending.end()) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    profile.reset(nm_simple_connection_new_clone(waiting->second.get()));
  }
  auto* vpn = SettingOf<NMSettingVpn>(profile.get(), NM_TYPE_SETTING_VPN);
  for (const auto& [key, value] : values) {
    if (key == "UserName") SetData(vpn, "user", value);
    if (key == "Domain") SetData(vpn, "domain", value);
    if (key != "Password") continue;
    // Kept by the daemon with the profile; without one, asked for at dial time.
    SetData(vpn, "password-flags", value.empty() ? "4" : "0");
    if (!value.empty()) nm_setting_vpn_add_secret(vpn, "password", value.c_str());
  }
  if (!nm_connection_normalize(profile.get(), nullptr, nullptr, nullptr)) return ERROR_INVALID_PARAMETER;
  if (existing != nullptr) return session.Update(existing, profile.get());
  const DWORD added = session.Add(profile.get());
  if (added == ERROR_SUCCESS) {
    const std::lock_guard lock(pendingMutex);
    pending.erase(name);
  }
  return added;
}

}  // namespace kelvo
