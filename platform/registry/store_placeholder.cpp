// Placeholder until the registry store lands.
namespace platform::registry {}
