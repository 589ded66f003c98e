# The feed server: update answers under 100 clients, full downloads, reports.
quarn_bench(feed SOURCES feed_bench.cpp LIBS quarn_feed)
