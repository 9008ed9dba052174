"""Hosts that disagree with the others on what they render with or run on.

A run across hosts means one thing only when its hosts are alike: the same renderer, GL
version and driver, GPU driver (and its version), CPU model and cores, MPI library and
rendering variables (run.json's `hosts`; a fact a host does not report is not compared).
For each fact the value most hosts share is "the others"; a host with another value is
named. When no value is shared by more hosts than every other, each host is named with its
value."""

import fnmatch
from dataclasses import dataclass

from ..results.gpus import gpu_driver
from ..results.run_json import UNKNOWN_UNDER_WRAP

# (what the report calls it, run.json's key in a host's entry)
FACTS = [("renderer", "gl_renderer"), ("GL version", "gl_version"), ("GL vendor", "gl_vendor"),
         ("GPU driver", "gpus"), ("CPU model", "cpu_model"), ("cores", "cores"),
         ("MPI library", "mpi_library")]
# The value compared of a key whose entry is not itself the fact.
DERIVED = {"gpus": gpu_driver}
UNSET = "unset"


@dataclass
class Disagreement:
    fact: str
    hosts: list       # the hosts named
    values: list      # their values, one a host
    others: object    # the value the other hosts share, or None when none is shared most

    def line(self):
        if self.others is None:
            return "%s differs: %s" % (self.fact, ", ".join(
                "%s %s" % (h, v) for h, v in zip(self.hosts, self.values)))
        return "; ".join("%s: %s %s, the others %s" % (h, self.fact, v, self.others)
                         for h, v in zip(self.hosts, self.values))

    def as_json(self):
        return {"fact": self.fact, "hosts": self.hosts, "values": self.values,
                "others": self.others, "text": self.line()}


def _facts_of(host):
    """{fact: value} of one host's run.json entry: what it reports."""
    facts = {name: DERIVED.get(key, lambda value: value)(host.get(key)) for name, key in FACTS
             if host.get(key) is not None}
    # A fact the windows' wrapper kept from being read is no value to compare: it is named
    # on its own (unknown_renderers).
    return {name: value for name, value in facts.items()
            if value is not None and value != UNKNOWN_UNDER_WRAP}


def _env_facts(hosts):
    """{host index: {variable: value}} over the hosts that report their rendering variables;
    a variable another host has and this one lacks is UNSET."""
    reported = {i: h["rendering_env"] for i, h in enumerate(hosts)
                if isinstance(h.get("rendering_env"), dict)}
    names = sorted({n for env in reported.values() for n in env})
    return {i: {n: env.get(n, UNSET) for n in names} for i, env in reported.items()}


def disagreements(hosts):
    """[Disagreement] among run.json's host entries (a list of dicts with a "name")."""
    facts = [_facts_of(h) for h in hosts]
    for i, env in _env_facts(hosts).items():
        facts[i].update(env)
    order = [name for name, _key in FACTS] + sorted(
        {n for f in facts for n in f} - {name for name, _key in FACTS})
    found = []
    for fact in order:
        by_value = {}
        for host, f in zip(hosts, facts):
            if fact in f:
                by_value.setdefault(f[fact], []).append(host.get("name", "?"))
        if len(by_value) < 2:
            continue
        ranked = sorted(by_value.items(), key=lambda item: -len(item[1]))
        shared = ranked[0][0] if len(ranked[0][1]) > len(ranked[1][1]) else None
        named = [(h, v) for v, names in ranked if v != shared for h in names]
        found.append(Disagreement(fact, [h for h, _v in named], [v for _h, v in named],
                                  shared))
    return found


def unknown_renderers(hosts):
    """["host: renderer unknown under --wrap"] for the hosts whose windows' wrapper kept their
    renderer from being read: alike or not, nobody can tell."""
    return ["%s: renderer %s (the GL facts could not be read through the windows' wrapper)"
            % (h.get("name", "?"), UNKNOWN_UNDER_WRAP) for h in hosts
            if h.get("gl_renderer") == UNKNOWN_UNDER_WRAP]


def summary_json(hosts):
    """summary.json's mixed_hosts: the facts compared and the disagreements."""
    return {"facts": [name for name, _key in FACTS] + ["rendering variables"],
            "disagreements": [d.as_json() for d in disagreements(hosts)]}


def renderers(context):
    """{host: renderer or None}: from run.json's hosts, else the run's own context."""
    hosts = context.get("hosts") or []
    if hosts:
        return {h.get("name", "?"): h.get("gl_renderer") for h in hosts}
    if context:
        return {context.get("host", "?"): context.get("gl_renderer")}
    return {}


def unexpected_renderers(context, pattern):
    """["host: renderer X, not PATTERN"] for the hosts whose renderer does not match."""
    found = renderers(context)
    if not found:
        return ["the renderer is unknown (no run.json), not %s" % pattern]
    return ["%s: renderer %s, not %s" % (host, renderer or "unknown", pattern)
            for host, renderer in found.items()
            if renderer in (None, UNKNOWN_UNDER_WRAP)
            or not fnmatch.fnmatchcase(renderer, pattern)]
