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
#include "platform/posix/phone_book/nm_writer.h"

#include <NetworkManager.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/phone_book/file_lock.h"
#include "platform/posix/phone_book/nm_phone_book.h"
#include "platform/posix/phone_book/ras_record_text.h"
#include "platform/posix/phone_book/system_bus.h"
#include "platform/text.h"

namespace kelvo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The conversation hands its verdict over this long before its caller stops waiting.
constexpr milliseconds kHandOver{50};
// An add still unanswered this long before the deadline is cancelled, and the rest of the time
// goes to asking the daemon whether it stored the profile all the same.
constexpr milliseconds kLookTime{1000};
// After its caller went on, a conversation waits at most this long for libnm's pending work
// (D-Bus's own limit for an answer) before it lets go of the bus.
constexpr guint kWindDownMilliseconds = 25000;

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

guint MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<milliseconds>(when - Clock::now()).count();
  return left > 0 ? static_cast<guint>(left) : 0;
}

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

// Ours: a PPTP VPN profile that this account alone may use. Any other profile of the same name
// (a Wi-Fi network, a VPN of another account or of everyone) is not ours to change.
bool Ours(NMConnection* profile, const std::string& user) {
  NMSettingConnection* general = nm_connection_get_setting_connection(profile);
  NMSettingVpn* vpn = nm_connection_get_setting_vpn(profile);
  if (general == nullptr || vpn == nullptr ||
      g_strcmp0(nm_setting_connection_get_connection_type(general), NM_SETTING_VPN_SETTING_NAME) != 0 ||
      g_strcmp0(nm_setting_vpn_get_service_type(vpn), kPptpService) != 0 ||
      nm_setting_connection_get_num_permissions(general) != 1) {
    return false;
  }
  const char* type = nullptr;
  const char* item = nullptr;
  return nm_setting_connection_get_permission(general, 0, &type, &item, nullptr) &&
         g_strcmp0(type, "user") == 0 && g_strcmp0(item, user.c_str()) == 0;
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

// Lays the entry's fields over the profile (ours or a new one); nullopt, or the code of what
// cannot be laid. A profile without its owner would let every local account dial with the
// stored password: an account name NetworkManager cannot hold refuses the write.
std::optional<DWORD> ApplyEntry(NMConnection* profile, const std::string& name, const std::string& user,
                                const RASENTRYW& entry) {
  const auto gateway = FieldText(entry.szLocalPhoneNumber);
  if (!gateway) return ERROR_INVALID_PARAMETER;

  auto* general = SettingOf<NMSettingConnection>(profile, NM_TYPE_SETTING_CONNECTION);
  if (nm_setting_connection_get_uuid(general) == nullptr) {
    gchar* uuid = nm_utils_uuid_generate();
    g_object_set(general, NM_SETTING_CONNECTION_UUID, uuid, nullptr);
    g_free(uuid);
  }
  g_object_set(general, NM_SETTING_CONNECTION_ID, name.c_str(), NM_SETTING_CONNECTION_TYPE,
               NM_SETTING_VPN_SETTING_NAME, NM_SETTING_CONNECTION_AUTOCONNECT, FALSE, nullptr);
  while (nm_setting_connection_get_num_permissions(general) > 0) nm_setting_connection_remove_permission(general, 0);
  if (!nm_setting_connection_add_permission(general, "user", user.c_str(), nullptr)) return ERROR_CANNOT_WRITE_PHONEBOOK;

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
  if (!nm_connection_normalize(profile, nullptr, nullptr, nullptr)) return ERROR_INVALID_PARAMETER;
  return std::nullopt;
}

// The entry's fields as the profile holds them; the others stay as they are.
DWORD ReadEntry(NMConnection* profile, RASENTRYW& entry) {
  NMSettingVpn* vpn = nm_connection_get_setting_vpn(profile);
  NMSettingIPConfig* ipv4 = nm_connection_get_setting_ip4_config(profile);
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

// Writers of this account, in this program or another, one at a time: each looks for its profile
// and adds or updates it before the next looks, so two at the same moment never add two. The lock
// file lives in the account's runtime folder (private to it, emptied at log-out), so nothing of
// ours stays in the user's files; without that folder there is nowhere safe to keep it, and the
// write is refused. The wait ends with the caller's deadline.
class WriterLock {
 public:
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  WriterLock() = default;

  bool Take(Clock::time_point deadline) {
    const char* folder = std::getenv("XDG_RUNTIME_DIR");
    if (folder == nullptr || folder[0] != '/') return false;
    fd_ = ::open((std::string(folder) + "/kelvo-nm.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return false;
    return LockBefore(fd_, deadline);
  }

 private:
  int fd_ = -1;
};

// A conversation with NetworkManager, on the thread that runs it. libnm delivers its answers on
// the thread's default main context; the conversation's own is pushed there, so it waits for its
// own answers only and is never run by anyone else. Every step is cancelled at the deadline.
class Session {
 public:
  explicit Session(Deadline deadline)
      : deadline_(deadline - kHandOver), context_(g_main_context_new()), cancellable_(g_cancellable_new()) {
    g_main_context_push_thread_default(context_);
    timer_ = CancelAt(cancellable_, deadline_);
  }

  // libnm's pending work ends on the context it started on: run it until the client's watcher is
  // gone, then close the bus, so that nothing of the conversation outlives it.
  ~Session() {
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
      Destroy(windDown);
    }
    if (bus_) g_dbus_connection_close(bus_.get(), nullptr, nullptr, nullptr);
    bus_.reset();
    Destroy(timer_);
    g_object_unref(cancellable_);
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Deadline End() const { return deadline_; }

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
    if (!bus_) return NothingThere(Error(error)) ? NetworkManagerPresence::kAbsent : NetworkManagerPresence::kFails;

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
      return NetworkManagerPresence::kFails;
    }
    return nm_client_get_nm_running(client_.get()) ? NetworkManagerPresence::kAnswers
                                                   : NetworkManagerPresence::kAbsent;
  }

  // Our profile of that name (see Ours), owned by the client.
  NMRemoteConnection* FindOurs(const std::string& name, const std::string& user) const {
    const GPtrArray* profiles = nm_client_get_connections(client_.get());
    for (guint i = 0; i < profiles->len; ++i) {
      auto* profile = NM_REMOTE_CONNECTION(g_ptr_array_index(profiles, i));
      if (g_strcmp0(nm_connection_get_id(NM_CONNECTION(profile)), name.c_str()) == 0 &&
          Ours(NM_CONNECTION(profile), user)) {
        return profile;
      }
    }
    return nullptr;
  }

  // Goes to disk. An add cancelled for lack of time may still have been stored: the daemon is
  // asked before the add counts as failed.
  DWORD Add(NMConnection* profile) {
    GCancellable* addCancellable = g_cancellable_new();
    GSource* addTimer = CancelAt(addCancellable, deadline_ - kLookTime);
    const auto added = Await([&](GAsyncReadyCallback done, gpointer slot) {
      nm_client_add_connection2(client_.get(), nm_connection_to_dbus(profile, NM_CONNECTION_SERIALIZE_ALL),
                                static_cast<NMSettingsAddConnection2Flags>(
                                    NM_SETTINGS_ADD_CONNECTION2_FLAG_TO_DISK |
                                    NM_SETTINGS_ADD_CONNECTION2_FLAG_BLOCK_AUTOCONNECT),
                                nullptr, TRUE, addCancellable, done, slot);
    });
    Destroy(addTimer);
    g_object_unref(addCancellable);
    GError* error = nullptr;
    NMRemoteConnection* made = nm_client_add_connection2_finish(client_.get(), added.get(), nullptr, &error);
    if (made != nullptr) {
      g_object_unref(made);
      return ERROR_SUCCESS;
    }
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_error_free(error);
    return cancelled && Stored(nm_connection_get_uuid(profile)) ? ERROR_SUCCESS : ERROR_CANNOT_WRITE_PHONEBOOK;
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
    if (result == nullptr) {
      g_error_free(error);
      return ERROR_CANNOT_WRITE_PHONEBOOK;
    }
    g_variant_unref(result);
    return ERROR_SUCCESS;
  }

 private:
  // Whether the daemon holds a profile of that identity, asked on the bus itself: libnm's view
  // may not have caught up with an answer it dropped.
  bool Stored(const char* uuid) {
    const auto asked = Await([&](GAsyncReadyCallback done, gpointer slot) {
      g_dbus_connection_call(bus_.get(), NM_DBUS_SERVICE, NM_DBUS_PATH_SETTINGS, NM_DBUS_INTERFACE_SETTINGS,
                             "GetConnectionByUuid", g_variant_new("(s)", uuid), G_VARIANT_TYPE("(o)"),
                             G_DBUS_CALL_FLAGS_NONE, -1, cancellable_, done, slot);
    });
    GVariant* path = g_dbus_connection_call_finish(bus_.get(), asked.get(), nullptr);
    if (path == nullptr) return false;
    g_variant_unref(path);
    return true;
  }

  // Starts one asynchronous step and runs the context until its callback came. A cancelled step
  // calls back at once.
  template <typename Start>
  Owned<GAsyncResult> Await(Start start) {
    GAsyncResult* result = nullptr;
    start(&Session::Keep, &result);
    while (result == nullptr) g_main_context_iteration(context_, TRUE);
    return Owned<GAsyncResult>(result);
  }

  GSource* CancelAt(GCancellable* cancellable, Deadline when) const {
    GSource* timer = g_timeout_source_new(MillisecondsUntil(when));
    g_source_set_callback(timer, &Session::Cancel, cancellable, nullptr);
    g_source_attach(timer, context_);
    return timer;
  }
  static void Destroy(GSource* source) {
    g_source_destroy(source);
    g_source_unref(source);
  }

  static void Keep(GObject*, GAsyncResult* result, gpointer slot) {
    *static_cast<GAsyncResult**>(slot) = G_ASYNC_RESULT(g_object_ref(result));
  }
  static gboolean Cancel(gpointer cancellable) {
    g_cancellable_cancel(G_CANCELLABLE(cancellable));
    return G_SOURCE_REMOVE;
  }
  static gboolean Gone(gpointer flag) {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
  }
  static void Gone(gpointer flag, GObject*) { Gone(flag); }

  // No bus at the address: nothing listens there. A bus that closes the connection, refuses the
  // handshake or does not answer it is a failure.
  static bool NothingThere(const Error& error) {
    return g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED) ||
           g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_NOT_FOUND);
  }

  Deadline deadline_;
  GMainContext* context_;
  GCancellable* cancellable_;
  GSource* timer_ = nullptr;
  Owned<GDBusConnection> bus_;
  Owned<NMClient> client_;
};

// Runs the job on a thread of its own, which keeps running until its session wound down; the
// caller waits for the job's verdict until the deadline and no longer. What the job needs it
// holds by value: the caller may be gone when it ends.
template <typename T, typename Job>
std::optional<T> Converse(Deadline deadline, Job job) {
  struct Verdict {
    std::mutex mutex;
    std::condition_variable given;
    std::optional<T> value;
  };
  auto verdict = std::make_shared<Verdict>();
  std::thread([verdict, deadline, job = std::move(job)]() mutable {
    Session session(deadline);
    const T value = job(session);
    {
      const std::lock_guard lock(verdict->mutex);
      verdict->value = value;
    }
    verdict->given.notify_one();
  }).detach();
  std::unique_lock lock(verdict->mutex);
  verdict->given.wait_until(lock, deadline, [&] { return verdict->value.has_value(); });
  return verdict->value;
}

// A new entry waits here, in this process, for its credentials: the daemon gets it only complete
// with them, so a failure in between leaves no profile without its password, not even in the
// daemon's memory (which it would keep across a restart).
std::mutex pendingMutex;
std::map<std::string, RASENTRYW> pending;

std::optional<RASENTRYW> Pending(const std::string& name) {
  const std::lock_guard lock(pendingMutex);
  const auto waiting = pending.find(name);
  if (waiting == pending.end()) return std::nullopt;
  return waiting->second;
}

// Runs a call that needs the daemon and this account's name: the job's verdict, or
// ERROR_CANNOT_OPEN_PHONEBOOK when the daemon is not there or had no time. A writer holds the
// writers' lock from before it looks for its profile until it wrote.
template <typename Verdict, typename Job>
Verdict WithDaemon(Deadline deadline, bool writes, Job job) {
  const auto verdict = Converse<Verdict>(deadline, [writes, job = std::move(job)](Session& session) {
    WriterLock lock;
    if (writes && !lock.Take(session.End())) return Verdict{ERROR_CANNOT_OPEN_PHONEBOOK};
    const auto user = UserName();
    if (!user) return Verdict{ERROR_CANNOT_OPEN_PHONEBOOK};
    if (session.Open() != NetworkManagerPresence::kAnswers) return Verdict{ERROR_CANNOT_OPEN_PHONEBOOK};
    return job(session, *user);
  });
  return verdict.value_or(Verdict{ERROR_CANNOT_OPEN_PHONEBOOK});
}

Deadline At(std::int64_t deadline) { return Deadline(std::chrono::nanoseconds(deadline)); }

int FindNetworkManager(std::int64_t deadline) {
  const auto presence = Converse<NetworkManagerPresence>(At(deadline), [](Session& session) { return session.Open(); });
  return static_cast<int>(presence.value_or(NetworkManagerPresence::kFails));
}

DWORD SetEntryProperties(const char* entryName, const RASENTRYW* entryRecord, std::int64_t deadline) {
  const auto job = [name = std::string(entryName), entry = *entryRecord](Session& session, const std::string& user) {
    NMRemoteConnection* ours = session.FindOurs(name, user);
    Owned<NMConnection> profile(ours ? nm_simple_connection_new_clone(NM_CONNECTION(ours)) : nm_simple_connection_new());
    if (const auto error = ApplyEntry(profile.get(), name, user, entry)) return *error;
    const std::lock_guard lock(pendingMutex);
    pending.erase(name);
    // The daemon keeps the stored password of a profile updated without secrets.
    if (ours != nullptr) return session.Update(ours, profile.get());
    pending.emplace(name, entry);
    return DWORD{ERROR_SUCCESS};
  };
  return WithDaemon<DWORD>(At(deadline), true, job);
}

DWORD GetEntryProperties(const char* entryName, RASENTRYW* entryRecord, std::int64_t deadline) {
  struct Read {
    DWORD code;
    RASENTRYW entry{};
  };
  const auto job = [name = std::string(entryName), entry = *entryRecord](Session& session, const std::string& user) {
    Read found{ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, entry};
    if (NMRemoteConnection* ours = session.FindOurs(name, user)) {
      found.code = ReadEntry(NM_CONNECTION(ours), found.entry);
    } else if (const auto waiting = Pending(name)) {
      Owned<NMConnection> profile(nm_simple_connection_new());
      const auto error = ApplyEntry(profile.get(), name, user, *waiting);
      found.code = error ? *error : ReadEntry(profile.get(), found.entry);
    }
    return found;
  };
  const Read read = WithDaemon<Read>(At(deadline), false, job);
  if (read.code == ERROR_SUCCESS) *entryRecord = read.entry;
  return read.code;
}

DWORD StoreCredentials(const char* entryName, const char* const* keys, const char* const* texts, std::size_t count,
                       std::int64_t deadline) {
  std::vector<std::pair<std::string, std::string>> values;
  for (std::size_t i = 0; i < count; ++i) values.emplace_back(keys[i], texts[i]);
  const auto job = [name = std::string(entryName), values = std::move(values)](Session& session, const std::string& user) {
    NMRemoteConnection* ours = session.FindOurs(name, user);
    const auto waiting = Pending(name);
    if (ours == nullptr && !waiting) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    Owned<NMConnection> profile(ours ? nm_simple_connection_new_clone(NM_CONNECTION(ours)) : nm_simple_connection_new());
    // Another program may have added the profile since this one readied the entry: then it is
    // that profile the entry goes into.
    if (waiting) {
      if (const auto error = ApplyEntry(profile.get(), name, user, *waiting)) return *error;
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
    const DWORD written = ours != nullptr ? session.Update(ours, profile.get()) : session.Add(profile.get());
    if (written == ERROR_SUCCESS && waiting) {
      const std::lock_guard lock(pendingMutex);
      pending.erase(name);
    }
    return written;
  };
  return WithDaemon<DWORD>(At(deadline), true, job);
}

constexpr KelvoNmWriter kWriter{kNmWriterVersion, FindNetworkManager, SetEntryProperties, GetEntryProperties,
                                StoreCredentials};

}  // namespace
}  // namespace kelvo

extern "C" __attribute__((visibility("default"))) const KelvoNmWriter* kelvo_nm_writer(unsigned version) {
  return version == kNmWriterVersion ? &kelvo::kWriter : nullptr;
}
