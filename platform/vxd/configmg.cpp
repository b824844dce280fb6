#include "platform/vxd/configmg.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/registry/store.h"

namespace platform::vxd::configmg {
namespace {

constexpr DEVNODE kRoot = 1;

struct Node {
  std::string id;
  DEVNODE parent = 0;
  std::vector<DEVNODE> children;
  CMENUMHANDLER enumerator = nullptr;
};

struct Tree {
  std::mutex mutex;
  EventRunner runner;
  std::map<DEVNODE, Node> nodes{{kRoot, Node{"HTREE\\ROOT\\0", 0, {}, nullptr}}};
  DEVNODE next = kRoot + 1;
};

Tree& TheTree() {
  static Tree tree;
  return tree;
}

bool SameId(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

DEVNODE FindLocked(Tree& tree, std::string_view id) {
  for (const auto& [node, record] : tree.nodes) {
    if (SameId(record.id, id)) return node;
  }
  return 0;
}

DEVNODE CreateLocked(Tree& tree, std::string_view id, DEVNODE parent) {
  DEVNODE node = tree.next++;
  tree.nodes[node] = Node{std::string(id), parent, {}, nullptr};
  tree.nodes[parent].children.push_back(node);
  return node;
}

// The registry key of a node: its hardware key, or a subkey of it.
std::string KeyOf(const std::string& id, const char* subKey) {
  std::string key = "HKEY_LOCAL_MACHINE\\Enum\\" + id;
  if (subKey != nullptr && *subKey != '\0') key += std::string("\\") + subKey;
  return key;
}

}  // namespace

DEVNODE AddDevice(std::string_view deviceId) {
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  if (DEVNODE existing = FindLocked(tree, deviceId)) return existing;
  return CreateLocked(tree, deviceId, kRoot);
}

void RemoveDevice(DEVNODE node) {
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  auto it = tree.nodes.find(node);
  if (it == tree.nodes.end() || node == kRoot) return;
  std::vector<DEVNODE> doomed{node};
  for (std::size_t i = 0; i < doomed.size(); ++i) {
    for (DEVNODE child : tree.nodes[doomed[i]].children) doomed.push_back(child);
  }
  std::erase(tree.nodes[it->second.parent].children, node);
  for (DEVNODE gone : doomed) tree.nodes.erase(gone);
}

bool HasEnumerator(DEVNODE node) {
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  auto it = tree.nodes.find(node);
  return it != tree.nodes.end() && it->second.enumerator != nullptr;
}

bool Enumerate(DEVNODE node) {
  CMENUMHANDLER handler = nullptr;
  std::vector<DEVNODE> before;
  {
    Tree& tree = TheTree();
    std::lock_guard lock(tree.mutex);
    auto it = tree.nodes.find(node);
    if (it == tree.nodes.end() || it->second.enumerator == nullptr) return false;
    handler = it->second.enumerator;
    before = it->second.children;
  }
  handler(CONFIG_ENUMERATE, 0, node, node, 0);
  std::vector<DEVNODE> after;
  {
    Tree& tree = TheTree();
    std::lock_guard lock(tree.mutex);
    after = tree.nodes[node].children;
  }
  for (DEVNODE child : after) {
    if (std::find(before.begin(), before.end(), child) != before.end()) continue;
    for (CONFIGFUNC function : {CONFIG_SETUP, CONFIG_FILTER, CONFIG_START, CONFIG_READY}) {
      handler(function, 0, node, child, 0);
    }
  }
  return true;
}

std::string DeviceId(DEVNODE node) {
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  auto it = tree.nodes.find(node);
  return it == tree.nodes.end() ? std::string() : it->second.id;
}

void Reset() {
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  tree.nodes = {{kRoot, Node{"HTREE\\ROOT\\0", 0, {}, nullptr}}};
  tree.next = kRoot + 1;
}

void SetEventRunner(EventRunner runner) {
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  tree.runner = std::move(runner);
}

}  // namespace platform::vxd::configmg

using namespace platform::vxd::configmg;

CONFIGRET CONFIGMG_Locate_DevNode(PDEVNODE devNode, DEVNODEID deviceId, ULONG) {
  if (devNode == nullptr) return CR_INVALID_POINTER;
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  *devNode = deviceId == nullptr ? kRoot : FindLocked(tree, deviceId);
  return *devNode != 0 ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
}

CONFIGRET CONFIGMG_Get_Child(PDEVNODE child, DEVNODE devNode, ULONG) {
  if (child == nullptr) return CR_INVALID_POINTER;
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  auto it = tree.nodes.find(devNode);
  if (it == tree.nodes.end()) return CR_INVALID_DEVNODE;
  if (it->second.children.empty()) return CR_NO_SUCH_DEVNODE;
  *child = it->second.children.front();
  return CR_SUCCESS;
}

CONFIGRET CONFIGMG_Get_Device_ID(DEVNODE devNode, PVOID buffer, ULONG bufferLength, ULONG) {
  std::string id = DeviceId(devNode);
  if (id.empty()) return CR_INVALID_DEVNODE;
  if (buffer == nullptr) return CR_INVALID_POINTER;
  if (id.size() + 1 > bufferLength) return CR_BUFFER_SMALL;
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return CR_SUCCESS;
}

CONFIGRET CONFIGMG_Create_DevNode(PDEVNODE devNode, DEVNODEID deviceId, DEVNODE parent, ULONG) {
  if (devNode == nullptr || deviceId == nullptr) return CR_INVALID_POINTER;
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  if (tree.nodes.count(parent) == 0) return CR_INVALID_DEVNODE;
  if (DEVNODE existing = FindLocked(tree, deviceId)) {
    *devNode = existing;
    return CR_ALREADY_SUCH_DEVNODE;
  }
  *devNode = CreateLocked(tree, deviceId, parent);
  return CR_SUCCESS;
}

CONFIGRET CONFIGMG_Register_Enumerator(DEVNODE devNode, CMENUMHANDLER handler, ULONG) {
  Tree& tree = TheTree();
  std::lock_guard lock(tree.mutex);
  auto it = tree.nodes.find(devNode);
  if (it == tree.nodes.end()) return CR_INVALID_DEVNODE;
  it->second.enumerator = handler;
  if (handler != nullptr && tree.runner) {
    // The node may be gone by the time the event runs; Enumerate then finds nothing to do.
    tree.runner([devNode] { Enumerate(devNode); });
  }
  return CR_SUCCESS;
}

CONFIGRET CONFIGMG_Read_Registry_Value(DEVNODE devNode, const char* subKey, const char* valueName,
                                       ULONG, PVOID buffer, PULONG length, ULONG flags) {
  if (flags != CM_REGISTRY_HARDWARE) return CR_REGISTRY_ERROR;
  if (length == nullptr) return CR_INVALID_POINTER;
  std::string id = DeviceId(devNode);
  if (id.empty()) return CR_INVALID_DEVNODE;
  platform::registry::Value value;
  auto status = platform::registry::Default().GetValue(
      KeyOf(id, subKey), valueName != nullptr ? valueName : "", value);
  if (!status.ok()) return CR_NO_SUCH_VALUE;
  if (value.data.size() > *length) {
    *length = static_cast<ULONG>(value.data.size());
    return CR_BUFFER_SMALL;
  }
  if (buffer != nullptr && !value.data.empty())
    std::memcpy(buffer, value.data.data(), value.data.size());
  *length = static_cast<ULONG>(value.data.size());
  return CR_SUCCESS;
}

CONFIGRET CONFIGMG_Write_Registry_Value(DEVNODE devNode, const char* subKey, const char* valueName,
                                        ULONG type, PVOID buffer, ULONG length, ULONG flags) {
  if (flags != CM_REGISTRY_HARDWARE) return CR_REGISTRY_ERROR;
  std::string id = DeviceId(devNode);
  if (id.empty()) return CR_INVALID_DEVNODE;
  if (buffer == nullptr && length != 0) return CR_INVALID_POINTER;
  auto& store = platform::registry::Default();
  std::string key = KeyOf(id, subKey);
  if (!store.CreateKey(key).ok()) return CR_REGISTRY_ERROR;
  std::span<const BYTE> data(static_cast<const BYTE*>(buffer), length);
  return store.SetValue(key, valueName != nullptr ? valueName : "", type, data).ok()
             ? CR_SUCCESS
             : CR_REGISTRY_ERROR;
}
