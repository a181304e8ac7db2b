<?php
// A Windows file version is four 16-bit numbers, and the launcher writes them in decimal joined by
// dots. Anything else is not a version at all, so it is refused rather than guessed at.
function ParseVersion(mixed $text): ?array
{
    if (!is_string($text) || !preg_match('/^\d{1,5}\.\d{1,5}\.\d{1,5}\.\d{1,5}$/D', $text)) {
        return null;
    }
    $numbers = array_map('intval', explode('.', $text));
    return max($numbers) <= 65535 ? $numbers : null;
}

// Number by number (PHP compares lists of equal length member by member), so that 10.0.0.0 is
// newer than 9.9.9.9, which comparing the texts would get wrong.
function IsOlder(array $version, array $than): bool
{
    return $version < $than;
}

// Why the launcher would not offer this release, or null when it would. It offers only an address
// that starts with http:// or https:// (ASCII case ignored) and holds no unit below U+0021; https
// is demanded besides, since a plain-HTTP download can be swapped by anyone on its path. publish
// and api.init.php both ask this, so that a release that reaches no one is never published or
// served.
function ReleaseProblem(mixed $version, mixed $address): ?string
{
    if (ParseVersion($version) === null) {
        return 'the version must be four decimal numbers of 0..65535, like 2.1.0.0';
    }
    if (!is_string($address) || preg_match('//u', $address) !== 1) {
        return 'the address must be text in UTF-8';
    }
    if (preg_match('/[\x00-\x20]/', $address)) {
        return 'the address holds a blank, a line break or another control character';
    }
    if (!preg_match('~^https://[^/?#]~i', $address)) {
        return 'the address must start with https:// and a host: the launcher offers only web'
            . ' addresses, and a plain-HTTP download can be swapped by anyone on its path';
    }
    return null;
}

// The releases that publish keeps, newest first: the one rolling out on top, and beneath it those
// down to the first at 100 %, which everyone outside the top's cohort is offered. Why PHP would
// not serve such a list (publish checks what it wrote by this rule too), or null.
function ReleasesProblem(mixed $releases): ?string
{
    if (!is_array($releases) || !array_is_list($releases) || $releases === []) {
        return 'no release is published';
    }
    foreach ($releases as $at => $release) {
        if (($problem = ReleaseProblem($release['version'] ?? null, $release['address'] ?? null))
            !== null) {
            return $problem;
        }
        if (!in_array($release['rollout'] ?? null, range(0, 100), true)) {
            return 'the rollout must be a whole percentage of 0..100';
        }
        if ($at > 0 && !IsOlder(ParseVersion($release['version']),
                ParseVersion($releases[$at - 1]['version']))) {
            return 'the releases must be listed newest first';
        }
    }
    return null;
}

// The buckets of a release at this share. nginx places each caller's network in one of 100
// buckets (split_clients, a hash of the address); each release orders them by a hash of the
// bucket with its own version, so that each release starts with other callers, and is offered to
// the first PERCENT of that order: a caller offered at p % is offered at every higher share.
function Cohort(string $version, int $percent): array
{
    static $orders = [];
    if (!isset($orders[$version])) {
        $ranks = array_map(fn(int $bucket) => hash('sha256', "$version/$bucket"), range(0, 99));
        asort($ranks);
        $orders[$version] = array_keys($ranks);
    }
    return array_slice($orders[$version], 0, $percent);
}

// The address offered to a caller of this version in this bucket (null when nginx named none),
// or '': the newest release whose cohort holds the caller (one at 100 % holds everyone) decides,
// and it is offered when it is newer than the caller. So the caller's own version never moves
// it between cohorts, and one outside the newest release's cohort is offered the one before.
function Offer(array $releases, ?int $bucket, array $caller): string
{
    foreach ($releases as ['version' => $version, 'address' => $address, 'rollout' => $rollout]) {
        if ($rollout === 100 || in_array($bucket, Cohort($version, $rollout), true)) {
            return IsOlder($caller, ParseVersion($version)) ? $address : '';
        }
    }
    return '';
}

// The whole body of an answer. The launcher reads nothing but the "update" member and decodes
// JSON escapes, so json_encode's ASCII-only defaults (\/ and \uXXXX) carry any address intact.
// It cannot fail: ReleaseProblem lets through only UTF-8, the one thing it could trip on.
function AnswerBody(string $update): string
{
    return json_encode(['update' => $update]);
}
