#pragma once

// Reception status of a camera record. Declaration order matters: the first case is the
// status of a freshly accepted connection.
enum class CameraStatus {
    Receiving, // connected, photos are taken in
    Paused,    // the user switched reception of photos off
    NoSignal,  // the connection failed or was closed
};
