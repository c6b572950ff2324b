"""qrx-symsrv fan-out: one feed handler, 50 clients, 1,000 topics, 10,000 updates
each carrying a per-topic sequence number. Every client receives every update of
its topics exactly once and in order, the feed handler sees one subscription per
topic however many clients hold it, and the last client to leave a topic takes
the upstream subscription with it."""

import pytest

from symsrv_peers import Clients, Feed, SymSrv, needs_symsrv, wait_for

N_CLIENTS = 50
N_TOPICS = 1000
ROUNDS = 10  # 10 x 1,000 topics = 10,000 updates

pytestmark = needs_symsrv


def topics_of(k):
    # Ten groups of 100 topics; five clients share each group.
    return [f"T{j:04d}" for j in range(N_TOPICS) if j % 10 == k % 10]


@pytest.fixture
def setup():
    feed = Feed()
    srv = SymSrv("--feed", f"127.0.0.1:{feed.port}")
    clients = None
    try:
        wait_for(lambda: srv.metric("qrx_symsrv_feed_up") == 1, 20, "the feed handler to be up")
        clients = Clients(srv.port, N_CLIENTS)
        yield feed, srv, clients
    finally:
        if clients:
            clients.close()
        srv.close()
        feed.close()


def test_every_client_gets_every_update_of_its_topics_once_in_order(setup):
    feed, srv, clients = setup
    for k, lst in enumerate(clients.listeners):
        for t in topics_of(k):
            assert lst.subscribe(t)
    wait_for(lambda: srv.metric("qrx_symsrv_client_topics") == N_CLIENTS * 100, 30,
             "every subscription to reach the server")
    wait_for(lambda: len(feed.subs()[0]) == N_TOPICS, 30, "every topic to be subscribed upstream")
    topics, requests = feed.subs()
    # One upstream subscription per topic, though five clients hold each.
    assert requests == N_TOPICS

    feed.publish([f"T{j:04d}" for j in range(N_TOPICS)], rounds=ROUNDS, per_batch=1000)
    feed.wait_done()
    wait_for(lambda: all(c == 100 * ROUNDS for c in clients.counts), 60,
             "every client to receive its updates")

    expected = [(1, r) for r in range(1, ROUNDS + 1)]
    for k in range(N_CLIENTS):
        got = clients.updates[k]
        assert sorted(got) == topics_of(k), f"client {k} got updates of topics it does not hold"
        for t, seqs in got.items():
            assert seqs == expected, f"client {k} topic {t}: {seqs}"
        assert clients.snapshots[k] == {}, "nothing was cached before the subscriptions"
    m = srv.metrics()
    assert m[("qrx_symsrv_updates_in_total", "")] == N_TOPICS * ROUNDS
    assert m[("qrx_symsrv_updates_out_total", "")] == N_CLIENTS * 100 * ROUNDS
    assert m[("qrx_symsrv_conflated_total", "")] == 0
    # The periodic summary in the log counts them too.
    wait_for(lambda: f"updates_in={N_TOPICS * ROUNDS} " in srv.log(), 10, "the summary line")
    assert f"qrx-symsrv: clients={N_CLIENTS}" in srv.log()

    # The last client to leave a topic takes the upstream subscription with it; until
    # then the topic stays subscribed.
    holders = [k for k in range(N_CLIENTS) if k % 10 == 0]
    for k in holders[:-1]:
        clients.listeners[k].unsubscribe("T0000")
    wait_for(lambda: srv.metric("qrx_symsrv_client_topics") == N_CLIENTS * 100 - 4, 20,
             "the unsubscriptions to reach the server")
    assert "T0000" in feed.subs()[0]
    clients.listeners[holders[-1]].unsubscribe("T0000")
    wait_for(lambda: "T0000" not in feed.subs()[0], 20, "the upstream unsubscription")
    assert len(feed.subs()[0]) == N_TOPICS - 1


def test_a_late_subscriber_gets_the_merged_image_then_the_updates(setup):
    feed, srv, clients = setup
    first, late = clients.listeners[0], clients.listeners[1]
    first.subscribe("IMG")
    wait_for(lambda: "IMG" in feed.subs()[0], 20, "the upstream subscription")
    feed.publish(["IMG"], rounds=3)
    feed.wait_done()
    wait_for(lambda: clients.counts[0] == 3, 20, "the first client's updates")

    late.subscribe("IMG")
    wait_for(lambda: clients.snapshots[1].get("IMG"), 20, "the late client's image")
    # The image holds the latest merged state.
    assert clients.snapshots[1]["IMG"] == [(1, 3)]
    feed.publish(["IMG"], rounds=1)
    feed.wait_done()
    wait_for(lambda: clients.counts[1] == 1, 20, "the late client's update")
    assert clients.updates[1]["IMG"] == [(1, 1)]
    # The second client added no upstream request.
    assert feed.subs()[1] == 1


def test_a_subscribe_all_client_joining_mid_stream_gets_each_image_once_and_nobody_else_any():
    feed = Feed()
    srv = SymSrv("--feed", f"127.0.0.1:{feed.port}")
    clients = None
    try:
        wait_for(lambda: srv.metric("qrx_symsrv_feed_up") == 1, 20, "the feed handler to be up")
        clients = Clients(srv.port, 2)
        plain, everything = clients.listeners
        plain.subscribeList(["AAA", "BBB"])
        wait_for(lambda: feed.subs()[0] == {"AAA", "BBB"}, 20, "the upstream subscriptions")
        feed.publish(["AAA", "BBB"], rounds=3)
        feed.wait_done()
        wait_for(lambda: clients.counts[0] == 6, 20, "the first updates")

        # The feed handler answers the upstream subscribe-all with images of what it
        # holds; the server has already given the joining client its own.
        requests = feed.subs()[1]
        everything.subscribeAll()
        wait_for(lambda: feed.subs()[1] > requests, 20, "the upstream subscribe-all")
        feed.publish(["AAA", "BBB"], rounds=1)
        feed.wait_done()
        wait_for(lambda: clients.counts[0] == 8 and clients.counts[1] == 2, 20,
                 "the updates after the join")

        assert clients.snapshots[0] == {}
        assert clients.updates[0] == {t: [(1, 1), (1, 2), (1, 3), (1, 1)] for t in ("AAA", "BBB")}
        assert clients.snapshots[1] == {"AAA": [(1, 3)], "BBB": [(1, 3)]}
        assert clients.updates[1] == {"AAA": [(1, 1)], "BBB": [(1, 1)]}
    finally:
        if clients:
            clients.close()
        srv.close()
        feed.close()
