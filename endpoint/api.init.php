<?php
// The launcher's update check, for callers that nginx does not answer itself from the files
// that publish writes beside release.json.
require_once __DIR__ . '/version.php';

header('Content-Type: application/json');
// Each answer depends on the caller's version: no cache may hand one caller's answer to another.
header('Cache-Control: no-store, private');
header('Vary: User-Version');

// The release as publish wrote it. Silenced, because a missing file is answered below, never
// reported inside the body.
$release = json_decode((string) @file_get_contents(__DIR__ . '/release.json'), true);
$address = $release['address'] ?? null;
$caller = ParseVersion($_SERVER['HTTP_USER_VERSION'] ?? null);

// publish refuses such a release, but a file edited by hand could still hold one.
if (ReleaseProblem($release['version'] ?? null, $address) !== null) {
    // Monitoring sees the broken release; the launcher, which ignores the status, sees no update.
    http_response_code(503);
    $update = '';
} elseif ($caller === null) {
    // Our launcher always sends a version (0.0.0.0 when it cannot read one). A caller without a
    // readable one is something else, or a build we cannot place: offering it the newest release
    // could be a downgrade, so it gets none, and the status tells the logs.
    http_response_code(400);
    $update = '';
} else {
    $update = IsOlder($caller, ParseVersion($release['version'])) ? $address : '';
}
echo AnswerBody($update);
