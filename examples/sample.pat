/old-db/new-db/ the database host moved
/debug/info/ quieter logs
|colour = grey|colour = silver| any byte can be the delimiter
