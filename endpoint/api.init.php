<?php
// The launcher's update check, for callers that nginx does not answer itself from the files
// that publish writes into the endpoint's state beside releases.json.
require_once __DIR__ . '/version.php';

header('Content-Type: application/json');
// Each answer depends on the caller's version: no cache may hand one caller's answer to another.
header('Cache-Control: no-store, private');
header('Vary: User-Version');

// The releases as publish wrote them, in the state that its link names: read anew, since PHP's
// realpath cache would keep the link's old target for minutes. A publish that switches the link
// between the two reads keeps the state it leaves until the next publish, so both read one
// state, whole. Silenced, because a missing file is answered below, never inside the body.
$state = json_decode((string) @file_get_contents(__DIR__ . '/' . @readlink(__DIR__ . '/state')
    . '/releases.json'), true);
$releases = $state['releases'] ?? null;
$caller = ParseVersion($_SERVER['HTTP_USER_VERSION'] ?? null);
// The bucket that nginx placed the caller's network in, so that its answers and these agree.
$bucket = filter_var($_SERVER['TAPWRIGHT_BUCKET'] ?? null, FILTER_VALIDATE_INT,
    ['options' => ['min_range' => 0, 'max_range' => 99]]);

// publish refuses such a release, but a file edited by hand could still hold one.
if (ReleasesProblem($releases) !== null) {
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
    $update = Offer($releases, $bucket === false ? null : $bucket, $caller);
}
// For the adoption log, which nginx writes and from which it hides this header.
header('X-Tapwright-Answer: ' . ($update === '' ? 'none' : 'offer'));
echo AnswerBody($update);
